// Writing a PE32 image by hand:
//
//   0x000  DOS header ("MZ", e_lfanew = 0x80) and the usual DOS stub
//   0x080  "PE\0\0", COFF header, PE32 optional header (16 directories)
//   0x178  section table: ".rsrc"
//   0x200  .rsrc (RVA 0x1000): type 16 -> ID 1 -> language 0x409 -> data
//          entry -> VS_VERSIONINFO
//
// Version blocks are (wLength, wValueLength, wType, key in UTF-16LE with
// its NUL, padding to 4 bytes, value, padding, children each aligned to 4
// bytes); wLength covers the block and its children without the padding
// after the last child.
#include "server/pe_image.h"

#include <string_view>
#include <vector>

namespace qv::server {

namespace {

constexpr uint32_t kNtHeadersOffset = 0x80;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kResourceRva = 0x1000;
constexpr uint32_t kHeadersSize = 0x200;
constexpr uint32_t kChecksumOffset = kNtHeadersOffset + 24 + 64;
constexpr uint16_t kLanguageUsEnglish = 0x409;
constexpr uint16_t kCodePageUnicode = 1200;

constexpr unsigned char kDosStub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09,
                                      0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
constexpr char kDosMessage[] = "This program cannot be run in DOS mode.\r\r\n$";

class Bytes {
 public:
  void U8(uint8_t v) { data_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Raw(std::string_view bytes) { data_.append(bytes); }
  void Zeros(size_t n) { data_.append(n, '\0'); }
  void PadTo(size_t alignment) {
    while (data_.size() % alignment != 0) U8(0);
  }
  void PutU16At(size_t at, uint16_t v) {
    data_[at] = static_cast<char>(v);
    data_[at + 1] = static_cast<char>(v >> 8);
  }
  void PutU32At(size_t at, uint32_t v) {
    PutU16At(at, static_cast<uint16_t>(v));
    PutU16At(at + 2, static_cast<uint16_t>(v >> 16));
  }
  size_t size() const { return data_.size(); }
  std::string& data() { return data_; }

 private:
  std::string data_;
};

// UTF-8 to UTF-16LE code units; a malformed byte becomes U+FFFD.
std::vector<uint16_t> Utf16(std::string_view text) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead >> 5) == 0x6) {
      length = 2;
    } else if ((lead >> 4) == 0xE) {
      length = 3;
    } else if ((lead >> 3) == 0x1E) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > text.size()) {
        length = 1;
      } else {
        cp = lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          const auto next = static_cast<unsigned char>(text[i + k]);
          if ((next & 0xC0) != 0x80) {
            cp = 0xFFFD;
            length = 1;
            break;
          }
          cp = (cp << 6) | (next & 0x3F);
        }
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    i += length;
  }
  return units;
}

// Text as UTF-16LE bytes with a terminating NUL.
std::string WideZ(std::string_view text) {
  Bytes out;
  for (uint16_t unit : Utf16(text)) out.U16(unit);
  out.U16(0);
  return out.data();
}

// One version block. value_length counts bytes for binary values (type 0)
// and UTF-16 units for text values (type 1).
std::string Block(std::string_view key, uint16_t value_length, uint16_t type,
                  std::string_view value, const std::vector<std::string>& children) {
  Bytes out;
  out.U16(0);  // wLength, set below
  out.U16(value_length);
  out.U16(type);
  out.Raw(WideZ(key));
  out.PadTo(4);
  out.Raw(value);
  for (const std::string& child : children) {
    out.PadTo(4);
    out.Raw(child);
  }
  out.PutU16At(0, static_cast<uint16_t>(out.size()));
  return out.data();
}

std::string StringEntry(std::string_view name, std::string_view text) {
  const std::string value = WideZ(text);
  return Block(name, static_cast<uint16_t>(value.size() / 2), 1, value, {});
}

std::string VersionResource(const PeImageInfo& info) {
  const std::string version = std::to_string(info.major) + "." + std::to_string(info.minor) + "." +
                              std::to_string(info.build) + "." + std::to_string(info.revision);
  const uint32_t ms = uint32_t{info.major} << 16 | info.minor;
  const uint32_t ls = uint32_t{info.build} << 16 | info.revision;
  Bytes fixed;
  fixed.U32(0xFEEF04BD);  // signature
  fixed.U32(0x00010000);  // structure version 1.0
  fixed.U32(ms);          // file version
  fixed.U32(ls);
  fixed.U32(ms);  // product version
  fixed.U32(ls);
  fixed.U32(0x3F);     // flags mask
  fixed.U32(0);        // flags
  fixed.U32(0x40004);  // VOS_NT_WINDOWS32
  fixed.U32(2);        // VFT_DLL
  fixed.U32(0);        // subtype
  fixed.U32(0);        // date
  fixed.U32(0);

  const std::string table = Block(
      "040904b0", 0, 1, "",
      {StringEntry("CompanyName", info.company), StringEntry("FileDescription", info.description),
       StringEntry("FileVersion", version), StringEntry("InternalName", info.file_name),
       StringEntry("OriginalFilename", info.file_name), StringEntry("ProductName", info.product),
       StringEntry("ProductVersion", version)});
  Bytes translation;
  translation.U16(kLanguageUsEnglish);
  translation.U16(kCodePageUnicode);
  const std::string var = Block("Translation", 4, 0, translation.data(), {});
  return Block("VS_VERSION_INFO", static_cast<uint16_t>(fixed.size()), 0, fixed.data(),
               {Block("StringFileInfo", 0, 1, "", {table}), Block("VarFileInfo", 0, 1, "", {var})});
}

// The .rsrc section's contents: three directory levels, one data entry,
// then the resource itself.
std::string ResourceSection(const std::string& resource) {
  constexpr uint32_t kSubdirectory = 0x80000000u;
  constexpr uint32_t kNameDir = 24, kLanguageDir = 48, kDataEntry = 72, kData = 88;
  Bytes out;
  auto directory = [&out](uint16_t id, uint32_t target) {
    out.U32(0);  // characteristics
    out.U32(0);  // time stamp
    out.U16(0);  // version
    out.U16(0);
    out.U16(0);  // named entries
    out.U16(1);  // ID entries
    out.U32(id);
    out.U32(target);
  };
  directory(16, kSubdirectory | kNameDir);     // RT_VERSION
  directory(1, kSubdirectory | kLanguageDir);  // ID 1
  directory(kLanguageUsEnglish, kDataEntry);   // a data entry
  out.U32(kResourceRva + kData);
  out.U32(static_cast<uint32_t>(resource.size()));
  out.U32(0);  // code page
  out.U32(0);
  out.Raw(resource);
  return out.data();
}

// The image checksum as the system computes it: 16-bit sums with the carry
// folded back, the checksum field itself left out, plus the file's length.
uint32_t ImageChecksum(const std::string& image) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 1 < image.size(); i += 2) {
    if (i == kChecksumOffset || i == kChecksumOffset + 2) continue;
    sum += static_cast<uint8_t>(image[i]) |
           static_cast<uint32_t>(static_cast<uint8_t>(image[i + 1])) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

std::string MakePeImage(const PeImageInfo& info) {
  const std::string section = ResourceSection(VersionResource(info));
  const auto section_size = static_cast<uint32_t>(section.size());
  const uint32_t raw_size = AlignUp(section_size, kFileAlignment);

  Bytes out;
  // DOS header.
  out.Raw("MZ");
  out.U16(0x90);  // bytes on the last page
  out.U16(3);     // pages
  out.U16(0);     // relocations
  out.U16(4);     // header paragraphs
  out.U16(0);     // minimum extra paragraphs
  out.U16(0xFFFF);
  out.U16(0);     // ss
  out.U16(0xB8);  // sp
  out.U16(0);     // checksum
  out.U16(0);     // ip
  out.U16(0);     // cs
  out.U16(0x40);  // relocation table
  out.U16(0);     // overlay
  out.Zeros(0x3C - out.size());
  out.U32(kNtHeadersOffset);
  out.Raw(std::string_view(reinterpret_cast<const char*>(kDosStub), sizeof(kDosStub)));
  out.Raw(kDosMessage);
  out.Zeros(kNtHeadersOffset - out.size());

  // NT headers: signature and COFF header.
  out.Raw(std::string_view("PE\0\0", 4));
  out.U16(0x014C);  // i386
  out.U16(1);       // sections
  out.U32(0);       // time stamp
  out.U32(0);       // symbol table
  out.U32(0);       // symbols
  out.U16(224);     // optional header size
  out.U16(0x2102);  // executable image, 32-bit machine, DLL

  // PE32 optional header.
  out.U16(0x10B);
  out.U8(2);  // linker version
  out.U8(40);
  out.U32(0);             // size of code
  out.U32(raw_size);      // initialised data
  out.U32(0);             // uninitialised data
  out.U32(0);             // entry point: none (resource-only)
  out.U32(kResourceRva);  // base of code
  out.U32(kResourceRva);  // base of data
  out.U32(0x10000000);    // image base
  out.U32(kSectionAlignment);
  out.U32(kFileAlignment);
  out.U16(4);  // OS version
  out.U16(0);
  out.U16(0);  // image version
  out.U16(0);
  out.U16(4);  // subsystem version
  out.U16(0);
  out.U32(0);                                                        // Win32 version value
  out.U32(kResourceRva + AlignUp(section_size, kSectionAlignment));  // size of image
  out.U32(kHeadersSize);
  out.U32(0);         // checksum, set below
  out.U16(2);         // Windows GUI subsystem
  out.U16(0);         // DLL characteristics
  out.U32(0x100000);  // stack reserve
  out.U32(0x1000);    // stack commit
  out.U32(0x100000);  // heap reserve
  out.U32(0x1000);    // heap commit
  out.U32(0);         // loader flags
  out.U32(16);        // data directories
  for (uint32_t i = 0; i < 16; ++i) {
    out.U32(i == 2 ? kResourceRva : 0);
    out.U32(i == 2 ? section_size : 0);
  }

  // Section table.
  out.Raw(std::string_view(".rsrc\0\0\0", 8));
  out.U32(section_size);
  out.U32(kResourceRva);
  out.U32(raw_size);
  out.U32(kHeadersSize);
  out.U32(0);  // relocations
  out.U32(0);  // line numbers
  out.U16(0);
  out.U16(0);
  out.U32(0x40000040);  // initialised data, readable

  out.Zeros(kHeadersSize - out.size());
  out.Raw(section);
  out.PadTo(kFileAlignment);
  out.PutU32At(kChecksumOffset, ImageChecksum(out.data()));
  return out.data();
}

}  // namespace qv::server
