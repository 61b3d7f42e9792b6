// GUnixOutputStream with the GSeekable interface added on lseek(2).
#include "server/fd_output_stream.h"

#include <gio/gunixoutputstream.h>
#include <unistd.h>

#include <cerrno>

G_BEGIN_DECLS
#define QV_TYPE_SEEKABLE_FD_STREAM (qv_seekable_fd_stream_get_type())
G_DECLARE_FINAL_TYPE(QvSeekableFdStream, qv_seekable_fd_stream, QV, SEEKABLE_FD_STREAM,
                     GUnixOutputStream)
G_END_DECLS

struct _QvSeekableFdStream {
  GUnixOutputStream parent_instance;
};

namespace {

int FdOf(GSeekable* seekable) {
  return g_unix_output_stream_get_fd(G_UNIX_OUTPUT_STREAM(seekable));
}

goffset Tell(GSeekable* seekable) { return ::lseek(FdOf(seekable), 0, SEEK_CUR); }

gboolean CanSeek(GSeekable*) { return TRUE; }

gboolean Seek(GSeekable* seekable, goffset offset, GSeekType type, GCancellable*, GError** error) {
  const int whence = type == G_SEEK_SET ? SEEK_SET : type == G_SEEK_CUR ? SEEK_CUR : SEEK_END;
  if (::lseek(FdOf(seekable), offset, whence) < 0) {
    const int error_number = errno;
    g_set_error(error, G_IO_ERROR, g_io_error_from_errno(error_number), "cannot seek: %s",
                g_strerror(error_number));
    return FALSE;
  }
  return TRUE;
}

gboolean CanTruncate(GSeekable*) { return FALSE; }

gboolean Truncate(GSeekable*, goffset, GCancellable*, GError** error) {
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "cannot truncate");
  return FALSE;
}

}  // namespace

static void qv_seekable_fd_stream_seekable_init(GSeekableIface* iface) {
  iface->tell = Tell;
  iface->can_seek = CanSeek;
  iface->seek = Seek;
  iface->can_truncate = CanTruncate;
  iface->truncate_fn = Truncate;
}

G_DEFINE_TYPE_WITH_CODE(QvSeekableFdStream, qv_seekable_fd_stream, G_TYPE_UNIX_OUTPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_SEEKABLE, qv_seekable_fd_stream_seekable_init))

static void qv_seekable_fd_stream_class_init(QvSeekableFdStreamClass*) {}

static void qv_seekable_fd_stream_init(QvSeekableFdStream*) {}

namespace qv::server {

GOutputStream* NewSeekableFdStream(int fd) {
  return G_OUTPUT_STREAM(
      g_object_new(QV_TYPE_SEEKABLE_FD_STREAM, "fd", fd, "close-fd", FALSE, nullptr));
}

}  // namespace qv::server
