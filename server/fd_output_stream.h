// An output stream over an open descriptor that can also seek: for writers
// (libgcab) that fill in a header at the start once the rest is written,
// and need a stream they can go back on.
//
// Writes go to the descriptor as GUnixOutputStream writes them (unbuffered,
// at its current offset); seeking moves that offset. The descriptor stays
// open when the stream is closed or released.
#ifndef QV_SERVER_FD_OUTPUT_STREAM_H_
#define QV_SERVER_FD_OUTPUT_STREAM_H_

#include <gio/gio.h>

namespace qv::server {

// A new stream on fd; release it with g_object_unref (g_autoptr).
GOutputStream* NewSeekableFdStream(int fd);

}  // namespace qv::server

#endif  // QV_SERVER_FD_OUTPUT_STREAM_H_
