// Making ".cmp" archives with libgcab: one MSZIP folder holding one file.
//
// The cabinet is written to a fresh temporary file beside the output, flushed
// to disk and then renamed over the output, so that a reader finds either the
// old archive or the new one whole. Every GObject is held by g_autoptr and
// released on every path.
#include "server/cab_pack.h"

#include <fcntl.h>
#include <libgcab.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

namespace qv::server {

namespace {

// Cabinet sizes and offsets are 32-bit; stay well clear of the limit so that
// the headers and the compressed blocks of a large file still fit.
constexpr uint64_t kMaxInputSize = uint64_t{1} << 31;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ErrnoText(int error_number) { return std::strerror(error_number); }

std::string GErrorText(const GError* error) {
  return error != nullptr && error->message != nullptr ? error->message : "unknown error";
}

// Flushes the file at path to the disk.
bool SyncFile(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    *error = "cannot write " + path + ": " + ErrnoText(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

// Creates a new file beside out under a name nobody holds yet.
GFileOutputStream* CreateTempBeside(const std::string& out, std::string* temp_path,
                                    std::string* error) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp_path = out + ".tmp" + std::to_string(::getpid()) + "_" +
                 std::to_string(random() % 1000000);
    g_autoptr(GFile) temp = g_file_new_for_path(temp_path->c_str());
    g_autoptr(GError) gerror = nullptr;
    GFileOutputStream* stream =
        g_file_create(temp, G_FILE_CREATE_NONE, nullptr, &gerror);
    if (stream != nullptr) return stream;
    if (!g_error_matches(gerror, G_IO_ERROR, G_IO_ERROR_EXISTS)) {
      *error = "cannot write " + out + ": " + GErrorText(gerror);
      return nullptr;
    }
  }
  *error = "cannot write " + out + ": no free temporary name beside it";
  return nullptr;
}

}  // namespace

bool PackFile(const std::string& file, const std::string& out, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();

  struct stat st;
  if (::stat(file.c_str(), &st) != 0) {
    *error = "cannot read " + file + ": " + ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = file + " is not a file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) >= kMaxInputSize) {
    *error = file + " is too large for a cabinet (2 GiB at most)";
    return false;
  }
  const std::string name = BaseName(file);
  if (name.empty() || name == "." || name == "..") {
    *error = file + " does not name a file";
    return false;
  }
  // Names other than ASCII are stored as UTF-8 (and flagged so).
  if (!g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
    *error = "the name of " + file + " is not UTF-8 text";
    return false;
  }

  g_autoptr(GFile) input = g_file_new_for_path(file.c_str());
  g_autoptr(GCabFile) entry = gcab_file_new_with_file(name.c_str(), input);
  g_autoptr(GCabFolder) folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
  g_autoptr(GCabCabinet) cabinet = gcab_cabinet_new();
  g_autoptr(GError) gerror = nullptr;
  if (!gcab_folder_add_file(folder, entry, FALSE, nullptr, &gerror) ||
      !gcab_cabinet_add_folder(cabinet, folder, &gerror)) {
    *error = "cannot pack " + file + ": " + GErrorText(gerror);
    return false;
  }

  std::string temp_path;
  g_autoptr(GFileOutputStream) stream = CreateTempBeside(out, &temp_path, error);
  if (stream == nullptr) return false;

  bool ok = gcab_cabinet_write_simple(cabinet, G_OUTPUT_STREAM(stream), nullptr,
                                      nullptr, nullptr, &gerror);
  if (!ok) *error = "cannot pack " + file + " into " + out + ": " + GErrorText(gerror);
  // Closed on every path, so that the temporary file can be removed.
  g_autoptr(GError) close_error = nullptr;
  if (!g_output_stream_close(G_OUTPUT_STREAM(stream), nullptr, &close_error) && ok) {
    ok = false;
    *error = "cannot write " + out + ": " + GErrorText(close_error);
  }
  if (ok) ok = SyncFile(temp_path, error);
  if (ok && ::rename(temp_path.c_str(), out.c_str()) != 0) {
    ok = false;
    *error = "cannot write " + out + ": " + ErrnoText(errno);
  }
  if (!ok) ::unlink(temp_path.c_str());
  return ok;
}

bool PackBytes(const std::string& name, const std::string& data, std::string* cabinet,
               std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  if (data.size() >= kMaxInputSize) {
    *error = name + " is too large for a cabinet (2 GiB at most)";
    return false;
  }
  if (name.empty() || !g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
    *error = "an entry needs a name of UTF-8 text";
    return false;
  }
  g_autoptr(GBytes) bytes = g_bytes_new(data.data(), data.size());
  g_autoptr(GCabFile) entry = gcab_file_new_with_bytes(name.c_str(), bytes);
  g_autoptr(GDateTime) now = g_date_time_new_now_local();
  gcab_file_set_date_time(entry, now);
  g_autoptr(GCabFolder) folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
  g_autoptr(GCabCabinet) cab = gcab_cabinet_new();
  g_autoptr(GError) gerror = nullptr;
  if (!gcab_folder_add_file(folder, entry, FALSE, nullptr, &gerror) ||
      !gcab_cabinet_add_folder(cab, folder, &gerror)) {
    *error = "cannot pack " + name + ": " + GErrorText(gerror);
    return false;
  }
  g_autoptr(GOutputStream) stream = g_memory_output_stream_new_resizable();
  if (!gcab_cabinet_write_simple(cab, stream, nullptr, nullptr, nullptr, &gerror) ||
      !g_output_stream_close(stream, nullptr, &gerror)) {
    *error = "cannot pack " + name + ": " + GErrorText(gerror);
    return false;
  }
  auto* memory = G_MEMORY_OUTPUT_STREAM(stream);
  const auto* begin = static_cast<const char*>(g_memory_output_stream_get_data(memory));
  cabinet->assign(begin, g_memory_output_stream_get_data_size(memory));
  return true;
}

}  // namespace qv::server
