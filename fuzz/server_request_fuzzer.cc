// Fuzzes the server's reading of a request before any worker answers it:
// where the header ends and how the body is framed, the Range values taken
// out of it, and the path of a GET, looked up in a real file root that holds
// a link leading out of it.
//
// Input: the bytes of a request as they arrive (the request line's target is
// the path; what follows the header is the body, whose length is the size of
// the file the ranges are checked against).
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_machine.h"
#include "server/byte_ranges.h"
#include "server/file_root.h"
#include "server/request_frame.h"

namespace {

using qv::fuzz::Check;
namespace fs = std::filesystem;

constexpr uint64_t kMaxBody = 1 << 20;

// A root with two files and a link to a folder outside it.
const qv::server::FileRoot& Root() {
  static std::unique_ptr<qv::server::FileRoot> root = [] {
    const std::string dir = qv::fuzz::OutsideFolder() + "/../files";
    fs::create_directories(dir + "/sub");
    std::ofstream(dir + "/a.txt") << "hello";
    std::ofstream(dir + "/sub/b.txt") << "world!";
    fs::create_directory_symlink(qv::fuzz::OutsideFolder(), dir + "/out");
    std::unique_ptr<qv::server::FileRoot> r;
    Check(qv::server::FileRoot::Open(dir, &r).ok(), "cannot open the file root");
    return r;
  }();
  return *root;
}

// The host file an open descriptor reads.
std::string OpenedPath(int fd) {
  char target[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof(target));
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

void CheckPath(const std::string& path) {
  if (qv::server::CheckPlainRelativePath(path).ok()) {
    size_t start = 0;
    while (true) {
      const size_t end = std::min(path.find('/', start), path.size());
      const std::string part = path.substr(start, end - start);
      Check(!part.empty() && part != "." && part != ".." &&
                part.find_first_of(std::string("\\\0", 2)) == std::string::npos,
            "a path with a part that is not a plain name passed");
      if (end == path.size()) break;
      start = end + 1;
    }
  }
  std::shared_ptr<qv::server::FileHandle> file;
  uint64_t size = 0;
  if (Root().OpenFile("/" + path, &file, &size) == qv::server::FileRoot::Lookup::kFound) {
    Check(file != nullptr, "a file found without a handle");
    const std::string opened = OpenedPath(file->fd());
    Check(opened.starts_with(Root().path() + "/"), "a file outside the root was opened");
    Check(fs::file_size(opened) == size, "a file found with another size");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t header_length = qv::server::HeaderLength(bytes);
  if (header_length == std::string_view::npos) return 0;
  Check(header_length <= size && bytes.substr(0, header_length).ends_with("\r\n"),
        "a header that does not end its last line");
  const qv::server::RequestFrame frame =
      qv::server::FrameRequest(bytes.substr(0, header_length), kMaxBody);
  Check(frame.header.size() <= header_length, "the header handed on grew");
  if (frame.body == qv::server::RequestFrame::Body::kLength) {
    Check(frame.body_length <= kMaxBody, "a body over the limit is taken");
  }
  if (frame.body == qv::server::RequestFrame::Body::kUnframed) {
    Check(frame.body_length == 0, "an unframed request with a length");
  }

  const uint64_t file_size = size - header_length;
  for (const std::string& range : frame.ranges) {
    const qv::server::ByteRange answer = qv::server::EvaluateRange(range, file_size);
    if (answer.kind == qv::server::ByteRange::Kind::kPart) {
      Check(answer.first <= answer.last && answer.last < file_size, "a part outside the file");
    }
  }

  // The target of the request line, without its leading "/".
  const size_t space = bytes.find(' ');
  if (space != std::string_view::npos && space + 1 < size && bytes[space + 1] == '/') {
    const size_t end = bytes.find_first_of(" \r\n", space + 1);
    CheckPath(std::string(bytes.substr(space + 2, end - space - 2)));
  }
  return 0;
}
