// The arguments of a call by name and its error: positional or named
// arguments read from DISPPARAMS with the automation type conversions, and
// the control's ErrorInfo written into an EXCEPINFO.
#ifndef QV_PLATFORM_WIN32_COM_DISPATCH_ARGS_H_
#define QV_PLATFORM_WIN32_COM_DISPATCH_ARGS_H_

#include <string>

#include "platform/error_info.h"
#include "platform/win32/windows_api.h"

namespace qv::com {

// Reads the arguments of one call in order of their position. The first
// failure is kept: later reads do nothing and result() reports it, with the
// position of the argument in *arg_error.
class DispatchArgs {
 public:
  DispatchArgs(DISPPARAMS* params, UINT* arg_error);

  // S_OK when the call has exactly count arguments, else DISP_E_BADPARAMCOUNT.
  HRESULT ExpectCount(UINT count);
  std::string Text(UINT position);
  bool Flag(UINT position);
  HRESULT result() const { return result_; }

 private:
  bool Read(UINT position, VARTYPE type, VARIANT* value);

  DISPPARAMS* params_;
  UINT* arg_error_;
  HRESULT result_ = S_OK;
};

// The HRESULT a script sees for error.number: a Windows result as it is, a
// plain number (20) as a control error (0x800A0014).
HRESULT ScodeOfError(int32_t number);

// Fills excep_info (when there is one) from error and returns
// DISP_E_EXCEPTION.
HRESULT RaiseError(const ErrorInfo& error, EXCEPINFO* excep_info);

}  // namespace qv::com

#endif  // QV_PLATFORM_WIN32_COM_DISPATCH_ARGS_H_
