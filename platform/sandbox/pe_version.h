// The version resource of a PE image (a Windows program or library file).
//
// FindVersionResource walks the image's headers and resource directory to the
// VS_VERSIONINFO resource and says where it lies; ReadVersionResource reads
// it. Only the headers, the directory entries on the way and the resource
// itself are read, each with a positioned read, so files of any size cost a
// few small reads. QueryVersionRoot answers the root query ("\") over a block
// read that way: the fixed file information.
//
// Nothing here calls the operating system: the file comes in as a
// RandomAccessFile. Every offset, size and count that the file states is
// checked against the file's size and against fixed limits before it is
// used, so a damaged or hostile file (truncated, with sections that lie about
// their sizes, directories that point at themselves, huge counts) gives "no
// version resource", never a crash or a large allocation.
//
// The functions hold no state; they may be called from any thread as long as
// the file object is not used by another thread at the same time.
#ifndef QV_PLATFORM_SANDBOX_PE_VERSION_H_
#define QV_PLATFORM_SANDBOX_PE_VERSION_H_

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

namespace qv {

// The largest version resource accepted. A VS_VERSIONINFO block states its
// length in 16 bits; the limit leaves room for padding behind it while
// keeping what a caller allocates small.
constexpr uint32_t kMaxVersionResourceSize = 1u << 20;

// Where the version resource lies in the file.
struct VersionResource {
  uint64_t offset = 0;  // file offset of the VS_VERSIONINFO block
  uint32_t size = 0;    // its size as the resource data entry states it
};

// Finds the first version resource of the image: resource type 16, its first
// name, that name's first language. Returns false (leaving *resource alone)
// when the file is not a PE image of 32 or 64 bits, has no resources, has no
// version resource, when the resource is empty or larger than
// kMaxVersionResourceSize, or when anything on the way lies outside the file.
bool FindVersionResource(const RandomAccessFile& file, VersionResource* resource);

// Reads the first min(n, resource.size) bytes of the resource into buffer.
// Returns false when the read fails or comes up short.
// REQUIRES: resource was found in this file; buffer holds n bytes.
bool ReadVersionResource(const RandomAccessFile& file, const VersionResource& resource, uint32_t n,
                         uint8_t* buffer);

// The root block ("\") of a VS_VERSIONINFO block of size bytes: the header
// (wLength, wValueLength, wType), the key "VS_VERSION_INFO" in UTF-16LE with
// its terminating zero, padding to a multiple of 4, then the value, which is
// the fixed file information. On success points *value at the value inside
// block and stores wValueLength in *length. Returns false when the key does
// not match, when wValueLength is below 52 (the size of VS_FIXEDFILEINFO) or
// when the value does not lie inside the block (bounded by both size and
// wLength). The signature inside the value is not checked.
bool QueryVersionRoot(const uint8_t* block, size_t size, const uint8_t** value, uint32_t* length);

}  // namespace qv

#endif  // QV_PLATFORM_SANDBOX_PE_VERSION_H_
