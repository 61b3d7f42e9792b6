// Checking a request, calling the operation, writing the answer.
#include "server/dispatcher.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace qv::server {

namespace {

using Json = nlohmann::json;

std::string JsonText(const std::string& text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

HttpAnswer Whole(int status, std::string body) {
  HttpAnswer answer;
  answer.status = status;
  answer.head = std::move(body);
  return answer;
}

HttpAnswer Refuse(int32_t number, const std::string& source, const std::string& description) {
  return Whole(400, ErrorBody({number, source, description}));
}

struct Operation {
  const char* name;
  size_t argument_count;
};

constexpr Operation kOperations[] = {
    {"LoginUser", 4},
    {"GetInstallFiles", 1},
    {"WriteLoginNotes", 2},
};

HttpAnswer Answer(const BoAnswer& answer) {
  switch (answer.kind) {
    case BoAnswer::Kind::kText:
      return Whole(200, "{\"result\": " + JsonText(answer.text) + "}");
    case BoAnswer::Kind::kRecordset: {
      // The stored document is JSON already; it goes out as it is.
      HttpAnswer http = Whole(200, "{\"result\": ");
      http.document = answer.document;
      http.tail = "}";
      return http;
    }
    case BoAnswer::Kind::kNothing:
      return Whole(200, "{\"result\": null}");
    case BoAnswer::Kind::kError:
      return Whole(200, ErrorBody(answer.error));
    case BoAnswer::Kind::kServerFault:
      return Whole(500, ErrorBody(answer.error));
  }
  return Whole(500, ErrorBody({kErrorServerFault, kServerSource, "unknown answer"}));
}

}  // namespace

std::string ErrorBody(const ErrorInfo& error) {
  return "{\"error\": {\"number\": " + std::to_string(error.number) +
         ", \"source\": " + JsonText(error.source) +
         ", \"description\": " + JsonText(error.description) + "}}";
}

HttpAnswer RequestTooLarge() {
  return Whole(413, ErrorBody({kErrorRequestTooLarge, kServerSource,
                               "Out of memory: the request is larger than 1 MiB."}));
}

HttpAnswer ServerBusy(const std::string& source) {
  return Whole(503, ErrorBody({kErrorServerBusy, source,
                               "The server is busy; try again in a little while."}));
}

bool IsLoginCall(std::string_view body, LoginCall* call) {
  if (body.size() > kMaxRequestBytes) return false;
  const Json request = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!request.is_object()) return false;
  const auto object = request.find("object");
  const auto operation = request.find("operation");
  if (object == request.end() || !object->is_string() || operation == request.end() ||
      *operation != "LoginUser") {
    return false;
  }
  const std::string program_id = object->get<std::string>();
  call->source = BusinessObjects::IsObject(program_id) ? program_id : kServerSource;
  const auto arguments = request.find("arguments");
  if (arguments != request.end() && arguments->is_array() && arguments->size() >= 2 &&
      (*arguments)[0].is_string() && (*arguments)[1].is_string()) {
    call->key_name = (*arguments)[0].get<std::string>();
    call->login = (*arguments)[1].get<std::string>();
  }
  return true;
}

HttpAnswer Dispatch(BusinessObjects& objects, std::string_view body, const CallerInfo& caller) {
  if (body.size() > kMaxRequestBytes) return RequestTooLarge();
  const Json request = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded()) {
    return Refuse(kErrorInvalidCall, kServerSource,
                  "Invalid procedure call or argument: the request is not valid JSON.");
  }
  if (!request.is_object()) {
    return Refuse(kErrorInvalidCall, kServerSource,
                  "Invalid procedure call or argument: the request is not a JSON object.");
  }
  const auto object = request.find("object");
  const auto operation = request.find("operation");
  if (object == request.end() || !object->is_string() || operation == request.end() ||
      !operation->is_string()) {
    return Refuse(kErrorInvalidCall, kServerSource,
                  "Invalid procedure call or argument: the request needs \"object\" and "
                  "\"operation\" texts.");
  }
  const std::string program_id = object->get<std::string>();
  if (!BusinessObjects::IsObject(program_id)) {
    return Refuse(kErrorCannotCreateObject, kServerSource,
                  "ActiveX component can't create object: " + program_id);
  }
  const std::string name = operation->get<std::string>();
  const Operation* found = nullptr;
  for (const Operation& op : kOperations) {
    if (name == op.name) found = &op;
  }
  if (found == nullptr) {
    return Refuse(kErrorNoSuchOperation, program_id,
                  "Object doesn't support this property or method: " + name);
  }
  const auto arguments = request.find("arguments");
  if (arguments == request.end() || !arguments->is_array()) {
    return Refuse(kErrorInvalidCall, program_id,
                  "Invalid procedure call or argument: the request needs an \"arguments\" "
                  "array.");
  }
  if (arguments->size() != found->argument_count) {
    return Refuse(kErrorWrongArgumentCount, program_id,
                  "Wrong number of arguments or invalid property assignment: " + name + " takes " +
                      std::to_string(found->argument_count) + ", not " +
                      std::to_string(arguments->size()) + ".");
  }
  std::vector<std::string> args;
  for (const Json& argument : *arguments) {
    if (!argument.is_string()) {
      return Refuse(kErrorTypeMismatch, program_id,
                    "Type mismatch: every argument of " + name + " must be a text.");
    }
    args.push_back(argument.get<std::string>());
  }

  if (name == "LoginUser") {
    return Answer(objects.LoginUser(program_id, args[0], args[1], args[2], args[3], caller));
  }
  if (name == "GetInstallFiles") return Answer(objects.GetInstallFiles(program_id, args[0]));
  return Answer(objects.WriteLoginNotes(program_id, args[0], args[1]));
}

}  // namespace qv::server
