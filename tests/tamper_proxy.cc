// The tests' man in the middle: passing requests on, and the changes it
// makes to what comes back.
#include "tests/tamper_proxy.h"

#include <nlohmann/json.hpp>
#include <set>

namespace qv::testing {

namespace {

// Fields that describe the connection or the encoding of one hop: the
// proxy sets its own.
bool PerHop(const std::string& name) {
  static const std::set<std::string, httplib::detail::ci> kPerHop = {
      "Connection",        "Keep-Alive",       "Content-Length",
      "Transfer-Encoding", "Content-Encoding", "Content-Type"};
  return kPerHop.count(name) > 0;
}

}  // namespace

TamperProxy::TamperProxy(const std::string& upstream) : upstream_(upstream) {
  auto forward = [this](const httplib::Request& request, httplib::Response& response) {
    Forward(request, &response);
  };
  server_.Get(".*", forward);
  server_.Post(".*", forward);
  port_ = server_.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::yield();
}

TamperProxy::~TamperProxy() {
  server_.stop();
  thread_.join();
}

std::string TamperProxy::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TamperProxy::ChangeByte(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  body_changes_[path] = BodyChange::kByte;
}

void TamperProxy::Cut(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  body_changes_[path] = BodyChange::kCut;
}

void TamperProxy::SwapList(const std::string& document) {
  ReplayList("{\"result\": " + document + "}");
}

void TamperProxy::ReplayList(const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  list_answer_ = answer;
}

void TamperProxy::PassEverything() {
  std::lock_guard<std::mutex> lock(mutex_);
  body_changes_.clear();
  list_answer_.reset();
}

std::string TamperProxy::RecordedList() {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorded_list_;
}

bool TamperProxy::IsListCall(const httplib::Request& request) {
  if (request.method != "POST") return false;
  const nlohmann::json call = nlohmann::json::parse(request.body, nullptr, false);
  return call.is_object() && call.value("operation", "") == "GetInstallFiles";
}

void TamperProxy::Forward(const httplib::Request& request, httplib::Response* response) {
  httplib::Client client(upstream_);
  httplib::Headers headers;
  for (const char* name : {"Range", "Accept"}) {
    if (request.has_header(name)) headers.emplace(name, request.get_header_value(name));
  }
  const std::string type = request.get_header_value("Content-Type");
  const httplib::Result result = request.method == "POST"
                                     ? client.Post(request.path, headers, request.body, type)
                                     : client.Get(request.path, headers);
  if (!result) {
    response->status = 502;
    return;
  }
  std::string body = result->body;
  std::lock_guard<std::mutex> lock(mutex_);
  if (IsListCall(request)) {
    recorded_list_ = body;
    if (list_answer_) body = *list_answer_;
  }
  auto change = body_changes_.find(request.path);
  if (change != body_changes_.end() && !body.empty()) {
    if (change->second == BodyChange::kByte) body[body.size() / 2] ^= 0x20;
    if (change->second == BodyChange::kCut) body.pop_back();
  }
  response->status = result->status;
  for (const auto& [name, value] : result->headers) {
    if (!PerHop(name)) response->set_header(name, value);
  }
  response->set_content(body, result->get_header_value("Content-Type"));
}

}  // namespace qv::testing
