// Making ".cmp" archives with libgcab: one MSZIP folder holding one file.
//
// PackFile writes the cabinet through qv::ReplaceFileAtomically, so that a
// reader finds either the old archive or the new one whole; libgcab goes
// back to the start to fill in the header, so it writes to a seekable stream
// on the temporary file's descriptor. Every GObject is held by g_autoptr and
// released on every path.
#include "server/cab_pack.h"

#include <libgcab.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix/atomic_file.h"
#include "platform/posix/errno_status.h"
#include "server/fd_output_stream.h"

namespace qv::server {

namespace {

// Cabinet sizes and offsets are 32-bit; stay well clear of the limit so that
// the headers and the compressed blocks of a large file still fit.
constexpr uint64_t kMaxInputSize = uint64_t{1} << 31;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The Status of a failed GLib call: context, then what GLib said.
Status GErrorStatus(const std::string& context, const GError* error) {
  uint32_t code = kErrorWriteFault;
  if (error != nullptr && error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_NOT_FOUND:
        code = kErrorFileNotFound;
        break;
      case G_IO_ERROR_PERMISSION_DENIED:
        code = kErrorAccessDenied;
        break;
      case G_IO_ERROR_NO_SPACE:
        code = kErrorDiskFull;
        break;
      default:
        break;
    }
  }
  const char* text =
      error != nullptr && error->message != nullptr ? error->message : "unknown error";
  return Status::Error(code, context + ": " + text);
}

// A cabinet of one MSZIP folder holding entry.
Status MakeCabinet(GCabFile* entry, const std::string& what, GCabCabinet** cabinet) {
  g_autoptr(GCabFolder) folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
  g_autoptr(GCabCabinet) made = gcab_cabinet_new();
  g_autoptr(GError) gerror = nullptr;
  if (!gcab_folder_add_file(folder, entry, FALSE, nullptr, &gerror) ||
      !gcab_cabinet_add_folder(made, folder, &gerror)) {
    return GErrorStatus("cannot pack " + what, gerror);
  }
  *cabinet = static_cast<GCabCabinet*>(g_steal_pointer(&made));
  return Status::OK();
}

}  // namespace

Status PackFile(const std::string& file, const std::string& out) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return PosixError("cannot read " + file, errno);
  if (!S_ISREG(st.st_mode)) return Status::AccessDenied(file + " is not a file");
  if (static_cast<uint64_t>(st.st_size) >= kMaxInputSize) {
    return Status::InvalidArgument(file + " is too large for a cabinet (2 GiB at most)");
  }
  const std::string name = BaseName(file);
  if (name.empty() || name == "." || name == "..") {
    return Status::Error(kErrorInvalidName, file + " does not name a file");
  }
  // Names other than ASCII are stored as UTF-8 (and flagged so).
  if (!g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
    return Status::Error(kErrorInvalidName, "the name of " + file + " is not UTF-8 text");
  }

  g_autoptr(GFile) input = g_file_new_for_path(file.c_str());
  g_autoptr(GCabFile) entry = gcab_file_new_with_file(name.c_str(), input);
  g_autoptr(GCabCabinet) cabinet = nullptr;
  Status made = MakeCabinet(entry, file, &cabinet);
  if (!made.ok()) return made;

  g_autoptr(GError) gerror = nullptr;
  Status written = ReplaceFileAtomically(out, 0666, [&](int fd) {
    g_autoptr(GOutputStream) stream = NewSeekableFdStream(fd);
    if (gcab_cabinet_write_simple(cabinet, stream, nullptr, nullptr, nullptr, &gerror) &&
        g_output_stream_close(stream, nullptr, &gerror)) {
      return true;
    }
    errno = EIO;
    return false;
  });
  if (gerror != nullptr) return GErrorStatus("cannot pack " + file + " into " + out, gerror);
  return written;
}

Status PackBytes(const std::string& name, const std::string& data, std::string* cabinet) {
  if (data.size() >= kMaxInputSize) {
    return Status::InvalidArgument(name + " is too large for a cabinet (2 GiB at most)");
  }
  if (name.empty() || !g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
    return Status::Error(kErrorInvalidName, "an entry needs a name of UTF-8 text");
  }
  g_autoptr(GBytes) bytes = g_bytes_new(data.data(), data.size());
  g_autoptr(GCabFile) entry = gcab_file_new_with_bytes(name.c_str(), bytes);
  g_autoptr(GDateTime) fixed = g_date_time_new_utc(2000, 1, 1, 0, 0, 0);
  gcab_file_set_date_time(entry, fixed);
  g_autoptr(GCabCabinet) cab = nullptr;
  Status made = MakeCabinet(entry, name, &cab);
  if (!made.ok()) return made;
  g_autoptr(GOutputStream) stream = g_memory_output_stream_new_resizable();
  g_autoptr(GError) gerror = nullptr;
  if (!gcab_cabinet_write_simple(cab, stream, nullptr, nullptr, nullptr, &gerror) ||
      !g_output_stream_close(stream, nullptr, &gerror)) {
    return GErrorStatus("cannot pack " + name, gerror);
  }
  auto* memory = G_MEMORY_OUTPUT_STREAM(stream);
  const auto* begin = static_cast<const char*>(g_memory_output_stream_get_data(memory));
  cabinet->assign(begin, g_memory_output_stream_get_data_size(memory));
  return Status::OK();
}

}  // namespace qv::server
