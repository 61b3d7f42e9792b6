// Reading the arguments of a call by name, and raising an error to it.
#include "platform/win32/com/dispatch_args.h"

#include "platform/win32/com/com_text.h"

namespace qv::com {

DispatchArgs::DispatchArgs(DISPPARAMS* params, UINT* arg_error)
    : params_(params), arg_error_(arg_error) {}

HRESULT DispatchArgs::ExpectCount(UINT count) {
  if (result_ == S_OK && (params_ == nullptr || params_->cArgs != count)) {
    result_ = DISP_E_BADPARAMCOUNT;
  }
  return result_;
}

bool DispatchArgs::Read(UINT position, VARTYPE type, VARIANT* value) {
  if (result_ != S_OK) return false;
  UINT error_position = 0;
  HRESULT hr = DispGetParam(params_, position, type, value, &error_position);
  if (FAILED(hr)) {
    result_ = hr;
    if (arg_error_ != nullptr) *arg_error_ = error_position;
    return false;
  }
  return true;
}

std::string DispatchArgs::Text(UINT position) {
  VARIANT value;
  VariantInit(&value);
  if (!Read(position, VT_BSTR, &value)) return {};
  std::string text = Utf8FromBstr(value.bstrVal);
  VariantClear(&value);
  return text;
}

bool DispatchArgs::Flag(UINT position) {
  VARIANT value;
  VariantInit(&value);
  if (!Read(position, VT_BOOL, &value)) return false;
  return value.boolVal != VARIANT_FALSE;
}

HRESULT ScodeOfError(int32_t number) {
  if (number > 0 && number <= 0xFFFF) {
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number);
  }
  return static_cast<HRESULT>(number);
}

HRESULT RaiseError(const ErrorInfo& error, EXCEPINFO* excep_info) {
  if (excep_info != nullptr) {
    *excep_info = EXCEPINFO{};
    excep_info->bstrSource = BstrFromUtf8(error.source);
    excep_info->bstrDescription = BstrFromUtf8(error.description);
    excep_info->scode = ScodeOfError(error.number);
  }
  return DISP_E_EXCEPTION;
}

}  // namespace qv::com
