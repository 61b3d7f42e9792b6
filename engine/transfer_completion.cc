// The transfer of one file: ctlInit_V3::StartTransfer asks Inet1 for it, and
// ctlInit_V3::Inet1_StateChanged takes the response when it is complete.
//
// A completed response (state 12) is checked first: a header holding
// "404 Object" after its first character, or a status other than 2xx, means
// the file is missing on the server (message, next record). Otherwise the
// body is read in chunks of 2048 bytes, with the current-file bar and the
// byte counter updated and pending messages processed after every chunk; a
// chunk of 0 or 1 bytes ends the body. While a chunk is awaited the control
// waits in the event loop, so the host repaints, its timers tick and a
// CancelXfer ends the body at once.
//
// The body goes into a temporary file of its own in the temp folder
// (BodyFile), never into the staging file that the install steps use: a
// replacement deferred to the next start may name the staging file, which
// must never be truncated or half written. Only a body that is complete takes
// its place, in one move:
// - with a "Content-length": the bytes received match it and the transfer
//   confirms that the body ended there (no bytes beyond it);
// - without one: the transfer confirms the protocol's end of the body (the
//   last chunk of a chunked body). A body that just stops when the
//   connection closes cannot be checked: the missing-file message.
// A body is never given more bytes than its "Content-length", nor more than
// unannounced_body_limit_ without one: beyond that the transfer is given up
// with a message. A body that is not used is deleted, and the staging file
// keeps what it held. When the record states the served file's size or
// SHA-256, the bytes are checked as they arrive, and a complete body that
// does not match is not used either: the mismatch message, and the run goes
// on as for a missing file. A complete one that matches is installed (InstallCurrentFile) or,
// in copy-only mode, moved below the copy folder. Then the timer is enabled
// and the run goes on. A failed request (state 11) shows the download error
// and halts the run.
//
// The completion works from a copy of the members that describe the file,
// taken on entry (the mode and the copy folder when the transfer started). A start-up made while the body is read (the host may call
// one from the processed messages) begins a new run: the completion then
// stops at once, installs nothing and leaves the timer to the new run. State
// changes that belong to no request started by the current run are ignored.
//
// Runs on the control's thread.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/ctlInit_V3.h"
#include "engine/served_file_check.h"
#include "install/modInstall.h"
#include "platform/platform.h"
#include "state/module_state.h"

namespace qv {
namespace {

constexpr char kCr[] = "\r";
constexpr char kRequestHeaders[] = "Proxy-Connection: Keep-Alive";
constexpr size_t kChunkSize = 2048;
// Chunks are gathered into pieces of this size before they are written: one
// write per chunk would cost the host more than the chunk itself.
constexpr int64_t kWriteBufferSize = 256 * 1024;
constexpr char kMissingObject[] = "404 Object";

// The status line ("HTTP/1.1 200 OK") carries a code from 200 to 299. A
// header without a status line has no such code.
bool IsSuccessStatus(const std::string& header) {
  const std::string line = header.substr(0, header.find_first_of("\r\n"));
  if (line.rfind("HTTP/", 0) != 0) return false;
  const size_t blank = line.find(' ');
  if (blank == std::string::npos || line.size() < blank + 4) return false;
  const std::string code = line.substr(blank + 1, 3);
  if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  if (line.size() > blank + 4 && line[blank + 4] != ' ') return false;
  return code[0] == '2';
}

// "Content-length" as a whole number from 0 to 2^31-1, blanks around it
// allowed. False for anything else (missing, not a number, too large).
bool ParseContentLength(const std::string& text, int64_t* length) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  const size_t last = text.find_last_not_of(" \t");
  int64_t value = 0;
  for (size_t i = first; i <= last; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return false;
  }
  *length = value;
  return true;
}

// Nearest whole number, halves to the even neighbour.
int64_t RoundHalfEven(double x) {
  const double floor = std::floor(x);
  const double rest = x - floor;
  int64_t n = static_cast<int64_t>(floor);
  if (rest > 0.5 || (rest == 0.5 && n % 2 != 0)) ++n;
  return n;
}

// The missing-file message with the reason after the address.
void ShowMissingBecause(const std::string& url, const std::string& reason) {
  CurrentPlatform().ui->MessageBox(
      "There was an error downloading file " + url + ": " + reason + "." + kCr +
          "Installation of other files will be completed, but this may cause future errors." + kCr +
          "Please contact the Ostrel technical support team about this matter.",
      kMbOk, "");
}

// The message for a body that brought more than it may.
void ShowTooLarge(const std::string& url, bool announced, int64_t limit) {
  ShowMissingBecause(
      url, announced ? "the server sent more than the " + std::to_string(limit) +
                           " bytes it announced"
                     : "the server sent more than " + std::to_string(limit) +
                           " bytes without announcing a length");
}

// The file a body is written into while it arrives: a temporary of its own
// in the temp folder, "~qvd<pid>_<n>.tmp", held open (and so in use) while it
// is written, so that a clean-up of leftovers by another process passes it
// over; one that a killed run left is not in use and can go. Bytes are
// gathered into pieces of kWriteBufferSize before they are written. The
// file is deleted when the object goes, unless it was moved into place.
class BodyFile {
 public:
  explicit BodyFile(FileSystem& files) : files_(files) {}
  ~BodyFile() {
    file_.reset();
    if (!path_.empty()) files_.DeleteFile(path_);
  }
  BodyFile(const BodyFile&) = delete;
  BodyFile& operator=(const BodyFile&) = delete;

  // Makes a new temporary in folder; false when none can be made. A name
  // held by another running program is passed over.
  bool Open(const std::string& folder, uint32_t pid, int64_t expected_size) {
    static std::atomic<uint32_t> counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::string path =
          folder + "\\~qvd" + std::to_string(pid) + "_" + std::to_string(counter++) + ".tmp";
      const Status s = files_.NewWritableFile(path, OpenMode::kCreateAlways, &file_);
      Note(s);
      if (s.ok() && file_ != nullptr) {
        path_ = path;
        pending_.reserve(
            static_cast<size_t>(std::clamp<int64_t>(expected_size, 0, kWriteBufferSize)) +
            kChunkSize);
        return true;
      }
      if (s.code() != kErrorSharingViolation) return false;
    }
    return false;
  }
  void Append(const std::vector<uint8_t>& bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    if (pending_.size() >= static_cast<size_t>(kWriteBufferSize)) WritePending();
  }
  // Writes what is left and closes the file; false when any byte could not
  // be written.
  bool Close() {
    WritePending();
    written_ = Note(file_->Close()) && written_;
    file_.reset();
    return written_;
  }
  // Whether the temporary could not be made or written for want of room.
  bool disk_full() const { return disk_full_; }
  // Moves the closed file over path in one step.
  bool MoveOver(const std::string& path) {
    if (!files_.MoveFileEx(path_, path, kMoveFileReplaceExisting).ok()) return false;
    path_.clear();
    return true;
  }

 private:
  void WritePending() {
    if (!pending_.empty()) {
      written_ = Note(file_->Append(pending_.data(), pending_.size())) && written_;
    }
    pending_.clear();
  }

  // Keeps whether a write found the disk full; true when status is ok.
  bool Note(const Status& status) {
    if (status.code() == kErrorDiskFull || status.code() == kErrorHandleDiskFull) disk_full_ = true;
    return status.ok();
  }

  FileSystem& files_;
  std::unique_ptr<WritableFile> file_;
  std::string path_;
  std::vector<uint8_t> pending_;
  bool written_ = true;
  bool disk_full_ = false;
};

// Creates, one level at a time, the folders that relative_path names below
// base (a folder ending in "\"). Folders that exist already are passed over.
void CreateSubfolders(FileSystem& files, const std::string& base,
                      const std::string& relative_path) {
  for (size_t i = relative_path.find_first_of("\\/"); i != std::string::npos;
       i = relative_path.find_first_of("\\/", i + 1)) {
    if (i > 0) files.CreateDirectory(base + relative_path.substr(0, i));
  }
}

// Whether the header says the file is not on the server: "404 Object"
// after its first character, or a status other than 2xx.
bool HeaderSaysMissing(const std::string& header) {
  const size_t object_at = header.find(kMissingObject);
  return (object_at != std::string::npos && object_at > 0) || !IsSuccessStatus(header);
}

// How long the body may be: what "Content-length" announced, or, without
// one, the limit for a body that announces nothing.
struct BodyLength {
  bool has_length = false;
  int64_t announced = 0;
  int64_t limit = 0;
};

BodyLength AnnouncedLength(Transfer& transfer, int64_t unannounced_limit) {
  BodyLength length;
  length.has_length = ParseContentLength(transfer.GetHeader("Content-length"), &length.announced);
  length.limit = length.has_length ? length.announced : unannounced_limit;
  return length;
}

// The next chunk, waited for in the event loop. False when a new run began
// meanwhile. When the loop is told to quit, the body is given up.
bool NextChunk(ctlInit_V3& control, uint64_t generation, std::vector<uint8_t>* chunk,
               int64_t* received) {
  Transfer& transfer = *control.Inet1;
  if (!transfer.ChunkReady(kChunkSize)) {
    const bool ready = CurrentPlatform().loop->RunUntil([&] {
      return control.run_generation() != generation || transfer.ChunkReady(kChunkSize);
    });
    if (control.run_generation() != generation) return false;
    if (!ready) transfer.Cancel();
  }
  *chunk = transfer.GetChunk(kChunkSize);
  *received += static_cast<int64_t>(chunk->size());
  return true;
}

// The current-file bar and the byte counter ("20k of 40k") after received
// bytes; of_announced is the counter's second half. caption is reused from
// chunk to chunk.
void ShowProgress(ctlInit_V3& control, int64_t received, int64_t announced,
                  const std::string& of_announced, std::string* caption) {
  const double shown = static_cast<double>(std::min(received, announced));
  control.SetCurrentWidth(static_cast<float>(shown / static_cast<double>(announced) *
                                             static_cast<double>(Panel::kCurrentBarScale)));
  *caption = std::to_string(RoundHalfEven(static_cast<double>(received) / 1024));
  *caption += of_announced;
  control.SetBytesCaption(*caption);
}

// How the chunks of a body ended.
enum class ReadEnd {
  kWhole,       // a chunk of 0 or 1 bytes came: the body is over
  kTooLarge,    // more than length.limit bytes came; the transfer is cancelled
  kSuperseded,  // a new run began while the body was read
};

// Reads the chunks of the body into body, with the progress shown (when
// the length is known and positive) and pending messages processed after
// every chunk. received counts the bytes that came.
ReadEnd ReadChunks(ctlInit_V3& control, uint64_t generation, const BodyLength& length,
                   BodyFile* body, ServedFileCheck* check, int64_t* received) {
  // The counter's second half stays the same for the whole body.
  const std::string of_announced =
      "k of " + std::to_string(RoundHalfEven(static_cast<double>(length.announced) / 1024)) +
      "k";
  std::string caption;
  std::vector<uint8_t> chunk;
  if (!NextChunk(control, generation, &chunk, received)) return ReadEnd::kSuperseded;
  while (true) {
    if (*received > length.limit) {
      // Not one byte beyond what the body may have is written.
      control.Inet1->Cancel();
      return ReadEnd::kTooLarge;
    }
    body->Append(chunk);
    check->Add(chunk.data(), chunk.size());
    if (chunk.size() <= 1) return ReadEnd::kWhole;
    // Without a positive length there is no scale to show progress on.
    if (length.has_length && length.announced > 0) {
      ShowProgress(control, *received, length.announced, of_announced, &caption);
    }
    CurrentPlatform().loop->ProcessPendingMessages();
    // A new run began: this file belongs to a list that is gone.
    if (control.run_generation() != generation ||
        !NextChunk(control, generation, &chunk, received)) {
      return ReadEnd::kSuperseded;
    }
  }
}

// What became of the body of a completed response.
enum class BodyEnd {
  kStaged,      // complete, and moved to the staging path
  kMismatched,  // complete, but not the file the record states
  kMissing,     // the file could not be had: the missing-file message
  kDiskFull,    // no room for it: the missing-file message says so
  kUnused,      // not used; nothing (more) to show
  kSuperseded,  // a new run began: nothing more to do
};

// Closes a whole body and, when it is complete, moves it to staging_path.
BodyEnd StageBody(Transfer& transfer, const BodyLength& length, int64_t received,
                  const std::string& staging_path, ServedFileCheck* check, BodyFile* body) {
  const bool written = body->Close();
  const bool confirmed = transfer.BodyEndConfirmed();
  if (!written && body->disk_full()) return BodyEnd::kDiskFull;
  if (!written || (!length.has_length && !confirmed)) return BodyEnd::kMissing;
  // Cut short, or followed by more than it announced: not used, nothing shown.
  if (!confirmed || (length.has_length && received != length.announced)) {
    return BodyEnd::kUnused;
  }
  if (!check->Matches()) return BodyEnd::kMismatched;
  if (!body->MoveOver(staging_path)) return BodyEnd::kMissing;
  return BodyEnd::kStaged;
}

// Takes the completed response that Inet1 holds for url into body and, when
// it is complete, to staging_path.
BodyEnd ReceiveBody(ctlInit_V3& control, uint64_t generation, int64_t unannounced_limit,
                    const std::string& url, const std::string& staging_path,
                    ServedFileCheck* check, BodyFile* body) {
  Transfer& transfer = *control.Inet1;
  if (HeaderSaysMissing(transfer.GetHeader(""))) return BodyEnd::kMissing;
  const BodyLength length = AnnouncedLength(transfer, unannounced_limit);
  Platform& platform = CurrentPlatform();
  if (!body->Open(gsDirTemp, platform.system->GetCurrentProcessId(), length.announced)) {
    return body->disk_full() ? BodyEnd::kDiskFull : BodyEnd::kMissing;
  }
  int64_t received = 0;
  switch (ReadChunks(control, generation, length, body, check, &received)) {
    case ReadEnd::kSuperseded:
      return BodyEnd::kSuperseded;
    case ReadEnd::kTooLarge:
      ShowTooLarge(url, length.has_length, length.limit);
      return BodyEnd::kUnused;
    case ReadEnd::kWhole:
      break;
  }
  return StageBody(transfer, length, received, staging_path, check, body);
}

// Puts a staged file where it belongs in copy-only mode: below copy_folder,
// at target_path, replacing what is there.
void GatherStagedFile(const std::string& staging_path, const std::string& copy_folder,
                      const std::string& target_path) {
  FileSystem& files = *CurrentPlatform().files;
  const std::string destination = copy_folder + target_path;
  CreateSubfolders(files, copy_folder, target_path);
  ClearTargetFile(destination);
  files.MoveFile(staging_path, destination);
}

}  // namespace

void ctlInit_V3::StartTransfer(const std::string& url) {
  transfer_in_flight_ = true;
  transfer_generation_ = run_generation();
  // Where the file goes is fixed now: a start-up that ends early while the
  // transfer is in flight may set the mode again, but not for this file.
  transfer_copy_only_ = mbCopyOnly;
  transfer_copy_folder_ = gsCopyFolder;
  transfer_file_size_ = file_size_;
  transfer_file_sha256_ = file_sha256_;
  if (Inet1 == nullptr || !Inet1->Execute(url, "GET", "", kRequestHeaders).ok()) {
    // No state change will come: as after a failed request, the run halts.
    transfer_in_flight_ = false;
    CurrentPlatform().ui->MessageBox("There was an error downloading file " + url, kMbOk, "");
  }
}

void ctlInit_V3::ShowMissingFile(const std::string& source) {
  CurrentPlatform().ui->MessageBox(
      "There was an error downloading file " + source + kCr +
          "Installation of other files will be completed, but this may cause future errors." + kCr +
          "Please contact the Ostrel technical support team about this matter.",
      kMbOk, "");
}

void ctlInit_V3::ShowMismatchedFile(const std::string& source, bool copy_only) {
  CurrentPlatform().ui->MessageBox(
      "The file " + source + " does not match the install list (size or checksum); it was not " +
          (copy_only ? "kept." : "installed.") + kCr +
          "Installation of other files will be completed, but this may cause future errors.",
      kMbOk, "");
}

void ctlInit_V3::Inet1_StateChanged(int16_t State) {
  if (State != kStateResponseCompleted && State != kStateError) return;
  const uint64_t generation = run_generation();
  if (Inet1 == nullptr || !transfer_in_flight_ || transfer_generation_ != generation) return;
  transfer_in_flight_ = false;

  Platform& platform = CurrentPlatform();
  const std::string url = Inet1->url();
  if (State == kStateError) {
    platform.ui->MessageBox("There was an error downloading file " + url, kMbOk, "");
    return;
  }

  // What the run set for this file before it started the transfer.
  const std::string file_name = msFileName;
  const std::string target_path = msTargetPath;
  const bool compressed = mbIsCompressed;
  const bool copy_only = transfer_copy_only_;
  const std::string copy_folder = transfer_copy_folder_;
  const std::string staging_path = gsDirTemp + "\\" + file_name + (compressed ? ".cmp" : "");

  BodyFile body(*platform.files);
  ServedFileCheck check(transfer_file_size_, transfer_file_sha256_);
  switch (ReceiveBody(*this, generation, unannounced_body_limit_, url, staging_path, &check,
                      &body)) {
    case BodyEnd::kSuperseded:
      return;
    case BodyEnd::kMissing:
      ShowMissingFile(url);
      break;
    case BodyEnd::kDiskFull:
      ShowMissingBecause(url, "the disk is full");
      break;
    case BodyEnd::kMismatched:
      ShowMismatchedFile(url, copy_only);
      break;
    case BodyEnd::kUnused:
      break;
    case BodyEnd::kStaged:
      if (copy_only) {
        GatherStagedFile(staging_path, copy_folder, target_path);
      } else {
        InstallCurrentFile();
      }
      break;
  }
  // Goes on with the next record unless a new run has taken over.
  if (run_generation() == generation) tmrComInstall->SetEnabled(true);
}

}  // namespace qv
