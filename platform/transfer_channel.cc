// TransferChannel: the request, the header, the ring buffer of body bytes
// with its flow control, and the delivery of state changes.
#include "platform/transfer_channel.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "platform/transfer.h"

namespace qv {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::string HeaderFieldValue(const std::string& header, const std::string& name) {
  const std::string wanted = Lower(name);
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find('\n', start);
    if (end == std::string::npos) end = header.size();
    const std::string line = header.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(Trim(line.substr(0, colon))) == wanted) {
      return Trim(line.substr(colon + 1));
    }
    start = end + 1;
  }
  return "";
}

bool HeaderSaysChunked(const std::string& header) {
  const std::string coding = Lower(HeaderFieldValue(header, "Transfer-Encoding"));
  return coding.size() >= 7 && coding.compare(coding.size() - 7, 7, "chunked") == 0;
}

void RateWindow::Restart() {
  start = std::chrono::steady_clock::now();
  base = received;
}

bool RateWindow::TooSlow() {
  if (std::chrono::steady_clock::now() - start < std::chrono::seconds(window_seconds)) {
    return false;
  }
  if (received - base < min_bytes) return true;
  Restart();
  return false;
}

TransferChannel::TransferChannel(EventLoop* loop, size_t buffer_bytes)
    : loop_(loop), capacity_(std::max<size_t>(buffer_bytes, 4096)) {
  ring_.resize(capacity_);
}

void TransferChannel::SetStateChangedHandler(std::function<void(int)> handler) {
  handler_ = std::move(handler);
}

void TransferChannel::SetInterruptHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  interrupt_ = std::move(hook);
}

Status TransferChannel::Start(const std::string& url, const std::string& operation,
                              const std::string& input_data,
                              const std::string& request_headers) {
  if (operation != "GET" && !operation.empty()) {
    return Status::Error(kErrorNotSupported, "only GET requests are made");
  }
  if (!input_data.empty()) {
    return Status::Error(kErrorNotSupported, "a GET request carries no data");
  }
  std::vector<std::string> headers;
  size_t start = 0;
  while (start < request_headers.size()) {
    size_t end = request_headers.find("\r\n", start);
    if (end == std::string::npos) end = request_headers.size();
    const std::string line = Trim(request_headers.substr(start, end - start));
    if (!line.empty()) headers.push_back(line);
    start = end + 2;
  }
  busy_ = std::make_unique<WorkToken>(loop_);
  std::lock_guard<std::mutex> lock(mutex_);
  current_ = ++job_.id;
  has_job_ = true;
  job_.url = url;
  job_.headers = std::move(headers);
  cancelled_ = false;
  header_done_ = false;
  header_.clear();
  body_done_ = false;
  body_confirmed_ = false;
  head_ = 0;
  size_ = 0;
  reader_wants_ = 0;
  reader_in_loop_ = false;
  // The worker lets an earlier request go; an idle one needs no word.
  if (interrupt_ && serving_) interrupt_();
  changed_.notify_all();
  return Status::OK();
}

std::string TransferChannel::Header(const std::string& name) {
  std::string header;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    header = header_;
  }
  return name.empty() ? header : HeaderFieldValue(header, name);
}

bool TransferChannel::ReaderReady(size_t wanted) const {
  return size_ >= wanted || size_ >= capacity_ || body_done_ || cancelled_;
}

// Wakes a waiting reader that can go on: one blocked in GetChunk through the
// condition variable; for one waiting in the loop, answers true, and the
// caller posts the wake-up once it has let go of the mutex.
bool TransferChannel::WakeReader() {
  if (reader_wants_ == 0 || !ReaderReady(reader_wants_)) return false;
  reader_wants_ = 0;
  changed_.notify_all();
  return std::exchange(reader_in_loop_, false);
}

std::vector<uint8_t> TransferChannel::GetChunk(size_t max_size) {
  std::vector<uint8_t> chunk;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!header_done_ || cancelled_ || max_size == 0) return chunk;
  // A full chunk, or what is left at the end of the body: a short chunk
  // means the body is over.
  if (!ReaderReady(max_size)) {
    reader_wants_ = max_size;
    // A worker that waits for more room than there is can now fill what
    // there is.
    if (writer_needs_ > 0) changed_.notify_all();
    changed_.wait(lock, [&] { return ReaderReady(max_size); });
    reader_wants_ = 0;
  }
  if (cancelled_) return chunk;
  const size_t take = std::min(max_size, size_);
  if (take == 0) return chunk;
  chunk.resize(take);
  const size_t first = std::min(take, capacity_ - head_);
  std::memcpy(chunk.data(), ring_.data() + head_, first);
  std::memcpy(chunk.data() + first, ring_.data(), take - first);
  head_ = (head_ + take) % capacity_;
  size_ -= take;
  if (writer_needs_ > 0 && capacity_ - size_ >= writer_needs_) changed_.notify_all();
  return chunk;
}

bool TransferChannel::ChunkReady(size_t max_size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!header_done_ || max_size == 0 || ReaderReady(max_size)) return true;
  reader_wants_ = max_size;
  reader_in_loop_ = true;
  if (writer_needs_ > 0) changed_.notify_all();
  return false;
}

bool TransferChannel::BodyEndConfirmed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return body_done_ && body_confirmed_ && !cancelled_;
}

void TransferChannel::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    reader_wants_ = 0;
    reader_in_loop_ = false;
    if (interrupt_ && serving_) interrupt_();
    changed_.notify_all();
  }
  busy_.reset();
}

void TransferChannel::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  if (interrupt_) interrupt_();
  changed_.notify_all();
}

bool TransferChannel::WaitForJob(Job* job) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stopping_ || has_job_; });
  if (stopping_) return false;
  has_job_ = false;
  serving_ = true;
  *job = job_;
  return true;
}

bool TransferChannel::Stale(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return StaleLocked(id);
}

bool TransferChannel::ResetUnlessStale(uint64_t id, const std::function<void()>& reset) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (StaleLocked(id)) return false;
  reset();
  return true;
}

bool TransferChannel::Announce(uint64_t id, const std::string& header) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (StaleLocked(id)) return false;
    header_ = header;
    header_done_ = true;
  }
  Post(id, kStateResponseCompleted);
  return true;
}

bool TransferChannel::AnnounceWhole(uint64_t id, const std::string& header, const uint8_t* body,
                                    size_t n, bool confirmed) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (StaleLocked(id) || n > capacity_ - size_) return false;
    header_ = header;
    header_done_ = true;
    if (n > 0) {
      const size_t tail = (head_ + size_) % capacity_;
      const size_t first = std::min(n, capacity_ - tail);
      std::memcpy(ring_.data() + tail, body, first);
      std::memcpy(ring_.data(), body + first, n - first);
      size_ += n;
    }
    body_done_ = true;
    body_confirmed_ = confirmed;
  }
  Post(id, kStateResponseCompleted);
  return true;
}

bool TransferChannel::PutBody(uint64_t id, const uint8_t* data, size_t n, RateWindow* rate) {
  size_t done = 0;
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    while (done < n) {
      const size_t wanted = std::min(n - done, capacity_ / 4);
      auto can_write = [&] {
        const size_t room = capacity_ - size_;
        return room >= wanted || (reader_wants_ > 0 && room > 0);
      };
      if (!can_write()) {
        writer_needs_ = wanted;
        changed_.wait(lock, [&] { return StaleLocked(id) || can_write(); });
        writer_needs_ = 0;
        rate->Restart();  // the reader held the body up, not the server
      }
      if (StaleLocked(id)) return false;
      const size_t take = std::min(capacity_ - size_, n - done);
      const size_t tail = (head_ + size_) % capacity_;
      const size_t first = std::min(take, capacity_ - tail);
      std::memcpy(ring_.data() + tail, data + done, first);
      std::memcpy(ring_.data(), data + done + first, take - first);
      size_ += take;
      done += take;
      wake = WakeReader() || wake;
    }
  }
  if (wake) loop_->Post([] {});
  return true;
}

void TransferChannel::EndRequest(uint64_t id, bool confirmed, bool announced) {
  bool failed_before_header = false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    if (current_ == id) {
      body_done_ = true;
      body_confirmed_ = confirmed && !cancelled_;
      failed_before_header = !announced && !cancelled_ && !stopping_;
    }
    wake = WakeReader();
    changed_.notify_all();
  }
  if (wake) loop_->Post([] {});
  if (failed_before_header) Post(id, kStateError);
}

void TransferChannel::Post(uint64_t id, int state) {
  loop_->Post([weak = weak_from_this(), id, state] {
    if (auto channel = weak.lock()) channel->Deliver(id, state);
  });
}

void TransferChannel::Deliver(uint64_t id, int state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != id || cancelled_) return;
  }
  if (handler_) handler_(state);
  // The request is over once its final state has been handled.
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ == id) busy_.reset();
}

}  // namespace qv
