// Walks a PE image to its version resource with positioned reads only.
//
//   DOS header ("MZ", e_lfanew at 0x3c)
//   -> "PE\0\0", COFF header (section count, optional header size)
//   -> optional header (PE32 0x10b or PE32+ 0x20b), data directory 2
//   -> section table, to turn RVAs into file offsets
//   -> resource directory: type 16 -> first name -> first language
//   -> data entry (RVA and size of the VS_VERSIONINFO block)
//
// The walk has a fixed depth of three directory levels, so a directory entry
// that points back at an ancestor cannot make it loop; it only ends on an
// entry of the wrong kind. Every range is checked to lie inside the raw data
// of one section and inside the file before it is read.
#include "platform/sandbox/pe_version.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace qv {
namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kLfanewOffset = 0x3c;
constexpr uint64_t kNtHeadersSize = 24;  // "PE\0\0" and the COFF header
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
// Where NumberOfRvaAndSizes and the data directories lie in the optional
// header of each kind.
constexpr uint64_t kPe32DirectoryCountOffset = 92;
constexpr uint64_t kPe32DirectoriesOffset = 96;
constexpr uint64_t kPe32PlusDirectoryCountOffset = 108;
constexpr uint64_t kPe32PlusDirectoriesOffset = 112;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint64_t kDataDirectorySize = 8;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr size_t kSectionsPerRead = 64;

constexpr uint64_t kDirectoryHeaderSize = 16;
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kDataEntrySize = 16;
constexpr size_t kEntriesPerRead = 256;
constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;

constexpr uint64_t kRootValueOffset = 40;  // 6-byte header, 32-byte key, pad
constexpr uint32_t kFixedFileInfoSize = 52;
constexpr char kRootKey[] = "VS_VERSION_INFO";

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads exactly n bytes at offset; false when any of them lies beyond the
// end of the file or the read fails.
bool ReadExact(const RandomAccessFile& file, uint64_t file_size, uint64_t offset, size_t n,
               uint8_t* out) {
  if (offset > file_size || n > file_size - offset) return false;
  size_t done = 0;
  while (done < n) {
    size_t got = 0;
    if (!file.Read(offset + done, n - done, out + done, &got).ok()) {
      return false;
    }
    if (got == 0) return false;
    done += got;
  }
  return true;
}

struct Section {
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_size = 0;
  uint32_t raw_pointer = 0;
};

struct DirectoryEntry {
  uint32_t name = 0;
  uint32_t target = 0;  // kSubdirectoryFlag marks a subdirectory
};

class ImageReader {
 public:
  explicit ImageReader(const RandomAccessFile& file) : file_(file), file_size_(file.Size()) {}

  bool FindVersion(VersionResource* resource) {
    if (!ReadHeaders()) return false;

    // Type level: the entry of type 16. Named types carry the high bit in
    // their name field and so never match.
    uint64_t entries_rva = 0;
    uint32_t count = 0;
    if (!ReadDirectory(0, &entries_rva, &count)) return false;
    DirectoryEntry type;
    if (!FindEntryByName(entries_rva, count, kResourceTypeVersion, &type)) {
      return false;
    }
    if (!(type.target & kSubdirectoryFlag)) return false;

    // Name level: the first name, whichever it is.
    DirectoryEntry name;
    if (!ReadDirectory(type.target & ~kSubdirectoryFlag, &entries_rva, &count) || count == 0 ||
        !ReadEntry(entries_rva, &name) || !(name.target & kSubdirectoryFlag)) {
      return false;
    }

    // Language level: the first language, which must be a data entry.
    DirectoryEntry language;
    if (!ReadDirectory(name.target & ~kSubdirectoryFlag, &entries_rva, &count) || count == 0 ||
        !ReadEntry(entries_rva, &language) || (language.target & kSubdirectoryFlag)) {
      return false;
    }

    std::array<uint8_t, kDataEntrySize> data_entry;
    if (!ReadRva(resource_rva_ + language.target, data_entry.size(), data_entry.data())) {
      return false;
    }
    const uint32_t data_rva = Le32(&data_entry[0]);
    const uint32_t data_size = Le32(&data_entry[4]);
    if (data_size == 0 || data_size > kMaxVersionResourceSize) return false;
    uint64_t offset = 0;
    if (!MapRange(data_rva, data_size, &offset)) return false;
    resource->offset = offset;
    resource->size = data_size;
    return true;
  }

 private:
  // Reads the headers up to the section table: the resource directory's RVA
  // and the sections.
  bool ReadHeaders() {
    std::array<uint8_t, kDosHeaderSize> dos;
    if (!Read(0, dos.size(), dos.data())) return false;
    if (dos[0] != 'M' || dos[1] != 'Z') return false;
    const uint64_t nt_offset = Le32(&dos[kLfanewOffset]);

    std::array<uint8_t, kNtHeadersSize> nt;
    if (!Read(nt_offset, nt.size(), nt.data())) return false;
    if (nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0) return false;
    const uint16_t section_count = Le16(&nt[6]);
    const uint16_t optional_size = Le16(&nt[20]);
    const uint64_t optional_offset = nt_offset + kNtHeadersSize;

    uint8_t field[4];
    if (!Read(optional_offset, 2, field)) return false;
    uint64_t count_offset = 0;
    uint64_t directories_offset = 0;
    switch (Le16(field)) {
      case kMagicPe32:
        count_offset = kPe32DirectoryCountOffset;
        directories_offset = kPe32DirectoriesOffset;
        break;
      case kMagicPe32Plus:
        count_offset = kPe32PlusDirectoryCountOffset;
        directories_offset = kPe32PlusDirectoriesOffset;
        break;
      default:
        return false;
    }
    const uint64_t resource_entry_offset =
        directories_offset + kResourceDirectoryIndex * kDataDirectorySize;
    if (optional_size < resource_entry_offset + kDataDirectorySize) {
      return false;
    }
    if (!Read(optional_offset + count_offset, 4, field)) return false;
    if (Le32(field) <= kResourceDirectoryIndex) return false;

    uint8_t directory[kDataDirectorySize];
    if (!Read(optional_offset + resource_entry_offset, sizeof(directory), directory)) {
      return false;
    }
    resource_rva_ = Le32(&directory[0]);
    if (resource_rva_ == 0 || Le32(&directory[4]) == 0) return false;

    // The section table, read in small batches. Its count is 16 bits wide,
    // and every batch must lie inside the file, so what is kept stays small.
    if (section_count == 0) return false;
    uint64_t table = optional_offset + optional_size;
    std::array<uint8_t, kSectionsPerRead * kSectionHeaderSize> batch;
    sections_.reserve(std::min<size_t>(section_count, kSectionsPerRead));
    for (size_t done = 0; done < section_count;) {
      const size_t n = std::min<size_t>(kSectionsPerRead, section_count - done);
      if (!Read(table, n * kSectionHeaderSize, batch.data())) return false;
      for (size_t i = 0; i < n; ++i) {
        const uint8_t* h = &batch[i * kSectionHeaderSize];
        Section s;
        s.virtual_size = Le32(h + 8);
        s.virtual_address = Le32(h + 12);
        s.raw_size = Le32(h + 16);
        s.raw_pointer = Le32(h + 20);
        sections_.push_back(s);
      }
      table += n * kSectionHeaderSize;
      done += n;
    }
    return true;
  }

  // The file offset of length bytes at rva. They must lie inside the data
  // that one section keeps in the file: within both its virtual size (when
  // stated) and its raw size, and inside the file itself.
  bool MapRange(uint64_t rva, uint64_t length, uint64_t* offset) const {
    for (const Section& s : sections_) {
      const uint64_t span = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
      if (rva < s.virtual_address || rva - s.virtual_address >= span) continue;
      const uint64_t delta = rva - s.virtual_address;
      const uint64_t stored = std::min<uint64_t>(span, s.raw_size);
      if (delta > stored || length > stored - delta) return false;
      const uint64_t start = uint64_t{s.raw_pointer} + delta;
      if (start > file_size_ || length > file_size_ - start) return false;
      *offset = start;
      return true;
    }
    return false;
  }

  // Reads through a one-block cache: the headers, the section table and the
  // resource directories are many small reads that mostly fall in one or
  // two blocks of the file.
  bool Read(uint64_t offset, size_t n, uint8_t* out) const {
    if (offset > file_size_ || n > file_size_ - offset) return false;
    if (n > kBlockSize) return ReadExact(file_, file_size_, offset, n, out);
    if (offset < block_offset_ || offset + n > block_offset_ + block_size_) {
      // The aligned block that holds the range, or one from offset when the
      // range crosses a block boundary.
      uint64_t start = offset - offset % kBlockSize;
      if (offset + n > start + kBlockSize) start = offset;
      const size_t size = static_cast<size_t>(std::min<uint64_t>(kBlockSize, file_size_ - start));
      block_size_ = 0;
      if (!ReadExact(file_, file_size_, start, size, block_.data())) return false;
      block_offset_ = start;
      block_size_ = size;
    }
    std::memcpy(out, block_.data() + (offset - block_offset_), n);
    return true;
  }

  bool ReadRva(uint64_t rva, size_t n, uint8_t* out) const {
    uint64_t offset = 0;
    return MapRange(rva, n, &offset) && Read(offset, n, out);
  }

  // The resource directory at offset relative (from the start of the
  // resource data): where its entries start and how many there are. The
  // whole entry table must be readable.
  bool ReadDirectory(uint32_t relative, uint64_t* entries_rva, uint32_t* count) const {
    const uint64_t rva = resource_rva_ + relative;
    std::array<uint8_t, kDirectoryHeaderSize> header;
    if (!ReadRva(rva, header.size(), header.data())) return false;
    *count = uint32_t{Le16(&header[12])} + Le16(&header[14]);
    *entries_rva = rva + kDirectoryHeaderSize;
    uint64_t unused = 0;
    return MapRange(*entries_rva, uint64_t{*count} * kDirectoryEntrySize, &unused);
  }

  bool ReadEntry(uint64_t entry_rva, DirectoryEntry* entry) const {
    uint8_t raw[kDirectoryEntrySize];
    if (!ReadRva(entry_rva, sizeof(raw), raw)) return false;
    entry->name = Le32(&raw[0]);
    entry->target = Le32(&raw[4]);
    return true;
  }

  bool FindEntryByName(uint64_t entries_rva, uint32_t count, uint32_t name,
                       DirectoryEntry* entry) const {
    std::array<uint8_t, kEntriesPerRead * kDirectoryEntrySize> batch;
    for (uint32_t done = 0; done < count;) {
      const size_t n = std::min<size_t>(kEntriesPerRead, count - done);
      if (!ReadRva(entries_rva + uint64_t{done} * kDirectoryEntrySize, n * kDirectoryEntrySize,
                   batch.data())) {
        return false;
      }
      for (size_t i = 0; i < n; ++i) {
        const uint8_t* raw = &batch[i * kDirectoryEntrySize];
        if (Le32(raw) == name) {
          entry->name = name;
          entry->target = Le32(raw + 4);
          return true;
        }
      }
      done += static_cast<uint32_t>(n);
    }
    return false;
  }

  static constexpr size_t kBlockSize = 1024;

  const RandomAccessFile& file_;
  const uint64_t file_size_;
  mutable std::array<uint8_t, kBlockSize> block_;
  mutable uint64_t block_offset_ = 0;
  mutable size_t block_size_ = 0;
  uint64_t resource_rva_ = 0;
  std::vector<Section> sections_;
};

}  // namespace

bool FindVersionResource(const RandomAccessFile& file, VersionResource* resource) {
  ImageReader reader(file);
  return reader.FindVersion(resource);
}

bool ReadVersionResource(const RandomAccessFile& file, const VersionResource& resource, uint32_t n,
                         uint8_t* buffer) {
  const uint32_t count = std::min(n, resource.size);
  return ReadExact(file, file.Size(), resource.offset, count, buffer);
}

bool QueryVersionRoot(const uint8_t* block, size_t size, const uint8_t** value, uint32_t* length) {
  if (block == nullptr || size < kRootValueOffset) return false;
  // The block ends at the smaller of the buffer and its own stated length.
  const uint64_t end = std::min<uint64_t>(size, Le16(&block[0]));
  const uint32_t value_length = Le16(&block[2]);
  // The key, UTF-16LE, including its terminating zero.
  for (size_t i = 0; i < sizeof(kRootKey); ++i) {
    if (Le16(&block[6 + 2 * i]) != static_cast<uint8_t>(kRootKey[i])) {
      return false;
    }
  }
  if (value_length < kFixedFileInfoSize) return false;
  if (kRootValueOffset > end || value_length > end - kRootValueOffset) {
    return false;
  }
  *value = block + kRootValueOffset;
  *length = value_length;
  return true;
}

}  // namespace qv
