// Win32DataSpace: business-object calls as JSON posts over WinINet. The
// documents and the reading of answers are the protocol's
// (platform/data_space_protocol.h); this file only carries them.
#include "platform/win32/win32_data_space.h"

#include <utility>
#include <vector>

#include "platform/data_space_protocol.h"
#include "platform/win32/win32_wide_text.h"
#include "platform/win32/windows_api.h"

namespace qv::win32 {
namespace {

// A WinINet handle, closed with InternetCloseHandle.
struct InternetCloser {
  void operator()(void* handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// The parts of an address WinINet connects with.
struct Endpoint {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // with the query
  bool secure = false;
};

bool SplitAddress(const std::string& url, Endpoint* endpoint) {
  const std::wstring wide = Utf8ToWide(url);
  wchar_t host[256] = {0};
  wchar_t path[2048] = {0};
  wchar_t extra[2048] = {0};
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = 2048;
  if (!InternetCrackUrlW(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) return false;
  endpoint->host = host;
  endpoint->port = parts.nPort;
  endpoint->path = std::wstring(path) + extra;
  if (endpoint->path.empty()) endpoint->path = L"/";
  endpoint->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return parts.nScheme == INTERNET_SCHEME_HTTP || endpoint->secure;
}

// The User-Agent: the library's version and the running Windows version.
// GetVersionExW answers for the host program, which is told 6.2 on every
// later Windows unless its manifest names them; ntdll's own call answers
// what runs.
std::string UserAgent() {
  using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto rtl_get_version = reinterpret_cast<RtlGetVersionCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  const bool known =
      rtl_get_version != nullptr ? rtl_get_version(&info) == 0 : GetVersionExW(&info) != FALSE;
  if (!known) return DataSpaceUserAgent(nullptr);
  OsVersionInfo version;
  version.major_version = info.dwMajorVersion;
  version.minor_version = info.dwMinorVersion;
  version.build_number = info.dwBuildNumber;
  version.platform_id = info.dwPlatformId;
  return DataSpaceUserAgent(&version);
}

// The system's text for the last WinINet failure.
std::string LastFailure(const char* step) {
  return std::string(step) + " failed (error " + std::to_string(GetLastError()) + ")";
}

class Win32BusinessObject : public BusinessObject {
 public:
  Win32BusinessObject(std::string program_id, std::string url, const Win32DataSpaceOptions& options)
      : program_id_(std::move(program_id)), url_(std::move(url)), options_(options) {}

  ErrorInfo Call(const std::string& operation, std::vector<std::string>* arguments,
                 CallResult* result) override {
    *result = CallResult();
    std::string body = RequestBody(program_id_, operation, *arguments);
    Endpoint endpoint;
    if (!SplitAddress(url_, &endpoint)) return ServerUnreachable(url_, "the address is not usable");
    if (!Connect(endpoint)) return ServerUnreachable(url_, LastFailure("InternetConnect"));

    const wchar_t* accept[] = {L"application/json", nullptr};
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (endpoint.secure) flags |= INTERNET_FLAG_SECURE;
    InternetHandle request(HttpOpenRequestW(connection_.get(), L"POST", endpoint.path.c_str(),
                                            nullptr, nullptr, accept, flags, 0));
    if (!request) return ServerUnreachable(url_, LastFailure("HttpOpenRequest"));
    const wchar_t kHeaders[] = L"Content-Type: application/json\r\n";
    if (!HttpSendRequestW(request.get(), kHeaders, static_cast<DWORD>(-1), body.data(),
                          static_cast<DWORD>(body.size()))) {
      return ServerUnreachable(url_, LastFailure("HttpSendRequest"));
    }
    DWORD status = 0;
    DWORD status_size = sizeof(status);
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &status_size, nullptr)) {
      return ServerUnreachable(url_, LastFailure("HttpQueryInfo"));
    }
    std::string answer;
    std::vector<char> buffer(64 * 1024);
    while (true) {
      DWORD read = 0;
      if (!InternetReadFile(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                            &read)) {
        return ServerUnreachable(url_, LastFailure("InternetReadFile"));
      }
      if (read == 0) break;
      if (answer.size() + read > options_.max_answer_bytes) {
        return BadServerAnswer(url_, "the answer is too large");
      }
      answer.append(buffer.data(), read);
    }
    return ReadAnswer(url_, static_cast<long>(status), std::move(answer), arguments, result);
  }

 private:
  // Opens the session and the connection on the first call; later calls
  // reuse them.
  bool Connect(const Endpoint& endpoint) {
    if (!session_) {
      const std::wstring agent = Utf8ToWide(UserAgent());
      session_.reset(
          InternetOpenW(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
      if (!session_) return false;
      DWORD connect_ms = static_cast<DWORD>(options_.connect_timeout_seconds * 1000);
      DWORD stall_ms = static_cast<DWORD>(options_.stall_timeout_seconds * 1000);
      InternetSetOptionW(session_.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect_ms,
                         sizeof(connect_ms));
      InternetSetOptionW(session_.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &stall_ms,
                         sizeof(stall_ms));
      InternetSetOptionW(session_.get(), INTERNET_OPTION_SEND_TIMEOUT, &stall_ms, sizeof(stall_ms));
    }
    if (!connection_) {
      connection_.reset(InternetConnectW(session_.get(), endpoint.host.c_str(), endpoint.port,
                                         nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    }
    return connection_ != nullptr;
  }

  std::string program_id_;
  std::string url_;
  Win32DataSpaceOptions options_;
  InternetHandle session_;
  InternetHandle connection_;
};

}  // namespace

ErrorInfo Win32DataSpace::CreateObject(const std::string& program_id, const std::string& server_url,
                                       std::unique_ptr<BusinessObject>* object) {
  object->reset();
  if (server_url.empty()) {
    return {kErrorServerUnreachable, kDataSpaceSource, "No server address was given."};
  }
  *object = std::make_unique<Win32BusinessObject>(program_id, BusinessObjectEndpoint(server_url),
                                                  options_);
  return ErrorInfo::None();
}

}  // namespace qv::win32
