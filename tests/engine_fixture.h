// Test helpers for the install engine: a transfer component that serves
// scripted responses, and a control on a fresh sandbox machine prepared the
// way a start-up leaves it (folders made, rights granted, download base set).
// A test of what the real transfer hands out swaps in the libcurl component
// (UseRealTransfer) and a real server.
#ifndef QV_TESTS_ENGINE_FIXTURE_H_
#define QV_TESTS_ENGINE_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "control/ctlInit_V3.h"
#include "install/modInstall.h"
#include "installlist/install_list.h"
#include "platform/curl/curl_transfer.h"
#include "platform/recordset.h"
#include "state/module_state.h"
#include "tests/test_util.h"

namespace qv::testing {

// One scripted response: its state, whole header and body, and the sizes in
// which the body is handed out (then 2048 at a time).
struct FakeResponse {
  int state = kStateResponseCompleted;
  std::string header;
  std::string body;
  std::vector<size_t> chunks;
};

// "HTTP/1.1 <status>" with a Content-Length matching the body, plus extra
// header lines.
inline FakeResponse Response(const std::string& body, const std::string& status = "200 OK",
                             const std::string& extra = "") {
  return {kStateResponseCompleted,
          "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
              extra + "\r\n",
          body,
          {}};
}

// Serves responses by address; delivers each state change through the loop,
// as the real component does. An address without a response fails (state 11).
class FakeTransfer : public Transfer {
 public:
  struct Request {
    std::string url, operation, input, headers;
  };

  explicit FakeTransfer(EventLoop* loop) : loop_(loop) {}

  void SetStateChangedHandler(std::function<void(int)> handler) override {
    handler_ = std::move(handler);
  }
  Status Execute(const std::string& url, const std::string& operation, const std::string& input,
                 const std::string& headers) override {
    requests.push_back({url, operation, input, headers});
    auto found = responses.find(url);
    current_ = found != responses.end() ? found->second : FakeResponse{kStateError, "", "", {}};
    url_ = url;
    offset_ = 0;
    handed_out_ = 0;
    cancelled_ = false;
    const int state = current_.state;
    loop_->Post([this, state] {
      if (handler_) handler_(state);
    });
    return Status::OK();
  }
  // The whole header for "", else the value of the named field, in any case.
  std::string GetHeader(const std::string& name) override {
    if (name.empty()) return current_.header;
    std::istringstream lines(current_.header);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t colon = line.find(':');
      if (colon != name.size() ||
          !std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
          })) {
        continue;
      }
      const size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
    return "";
  }
  std::vector<uint8_t> GetChunk(size_t max_size) override {
    if (before_chunk) before_chunk(handed_out_);
    if (cancelled_) return {};
    size_t size = handed_out_ < current_.chunks.size() ? current_.chunks[handed_out_] : max_size;
    size = std::min({size, max_size, current_.body.size() - offset_});
    ++handed_out_;
    std::vector<uint8_t> chunk(current_.body.begin() + offset_,
                               current_.body.begin() + offset_ + size);
    offset_ += size;
    return chunk;
  }
  bool ChunkReady(size_t) override { return true; }
  // The whole body was handed out and matches its "Content-Length".
  bool BodyEndConfirmed() override {
    return !cancelled_ && offset_ == current_.body.size() &&
           GetHeader("Content-Length") == std::to_string(current_.body.size());
  }
  void Cancel() override {
    cancelled_ = true;
    ++cancels;
  }
  std::string url() const override { return url_; }
  // The state-change handler as the control installed it.
  std::function<void(int)> handler() const { return handler_; }

  std::map<std::string, FakeResponse> responses;
  std::vector<Request> requests;
  int cancels = 0;
  // Called before each GetChunk with the number of chunks handed out so far.
  std::function<void(size_t)> before_chunk;

 private:
  EventLoop* loop_;
  std::function<void(int)> handler_;
  FakeResponse current_;
  std::string url_;
  size_t offset_ = 0;
  size_t handed_out_ = 0;
  bool cancelled_ = false;
};

// The missing-file message for an address or path.
inline std::string MissingFileText(const std::string& source) {
  return "There was an error downloading file " + source +
         "\rInstallation of other files will be completed, but this may cause future errors."
         "\rPlease contact the Ostrel technical support team about this matter.";
}

// An ordinary record: type 2 into CLIENTDIR, fetched from its own name.
inline InstallRecord FileRecord(const std::string& name, const std::string& version,
                                const std::string& location = "CLIENTDIR") {
  InstallRecord r;
  r.sequence_id = 1;
  r.file_name = name;
  r.download_location = name;
  r.install_type = itReplace;
  r.file_version = version;
  r.install_location = location;
  r.description = "About " + name;
  return r;
}

class EngineTest : public ::testing::Test {
 protected:
  static constexpr char kBase[] = "http://files.test/";

  EngineTest() {
    InitFolders();
    gbHasInstallRights = true;
    gbRebootNeeded = false;
    gsCopyFolder.clear();
    control_ = std::make_unique<ctlInit_V3>();
    auto fake = std::make_unique<FakeTransfer>(&m_.loop());
    net_ = fake.get();
    fake->SetStateChangedHandler(
        [this](int state) { control_->Inet1_StateChanged(static_cast<int16_t>(state)); });
    control_->Inet1 = std::move(fake);
    control_->SubscribeAll([this](ControlEvent e) { events_.push_back(ControlEventName(e)); });
    control_->msDownloadLocation = kBase;
    control_->msServerURL = "http://bo.test/";
    control_->msLoginID = "LID42";
  }

  // Hands a list to the run and enables the timer, as a start-up does.
  void Start(const std::vector<InstallRecord>& records) {
    auto list = std::make_unique<Recordset>(NewInstallList());
    for (const InstallRecord& r : records) EXPECT_TRUE(AppendInstallRecord(list.get(), r).ok());
    control_->mrsInstallList = std::move(list);
    control_->BeginRun();
    control_->tmrComInstall->SetEnabled(true);
  }
  void Run() { EXPECT_TRUE(m_.loop().RunUntilIdle()); }
  // Fetches from base with the libcurl transfer instead of the scripted one.
  // Its rate window is cut to a second, so a slow server fails soon.
  void UseRealTransfer(const std::string& base) {
    CurlTransferOptions options;
    options.rate_window_seconds = 1;
    options.min_window_bytes = 1024;
    auto real = std::make_unique<CurlTransfer>(&m_.loop(), options);
    real->SetStateChangedHandler(
        [this](int state) { control_->Inet1_StateChanged(static_cast<int16_t>(state)); });
    control_->Inet1 = std::move(real);
    control_->msDownloadLocation = base;
    net_ = nullptr;
  }
  // Runs until the transfer's completion has enabled the timer again.
  void Complete() {
    m_.loop().RunUntil([this] { return control_->tmrComInstall->enabled(); });
  }

  void Serve(const std::string& location, const std::string& body) {
    net_->responses[kBase + location] = Response(body);
  }
  // An installed copy of name in the client folder with a version side file.
  void Installed(const std::string& name, const std::string& version) {
    m_.WriteFile(Client(name), "old " + name);
    m_.WriteFile(Client(name) + ".ver", version + "\r\n");
  }
  static std::string Client(const std::string& name) { return gsDirClient + "\\" + name; }
  static std::string Temp(const std::string& name) { return gsDirTemp + "\\" + name; }
  // The names in the temp folder that start with prefix.
  std::vector<std::string> TempNames(const std::string& prefix) {
    std::vector<DirEntry> entries;
    m_.platform().files->ListDirectory(gsDirTemp, &entries);
    std::vector<std::string> names;
    for (const DirEntry& e : entries) {
      if (e.name.rfind(prefix, 0) == 0) names.push_back(e.name);
    }
    return names;
  }
  std::vector<std::string> RequestedUrls() const {
    std::vector<std::string> urls;
    for (const auto& r : net_->requests) urls.push_back(r.url);
    return urls;
  }

  TestMachine m_;
  std::unique_ptr<ctlInit_V3> control_;
  FakeTransfer* net_ = nullptr;
  std::vector<std::string> events_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_ENGINE_FIXTURE_H_
