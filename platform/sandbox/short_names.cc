// Short (8.3) names: which names stand as they are, the candidates for the
// others, and the names given out and kept in the volume database
// (Machine::ShortNameOf and the lookups by short name).
#include "platform/sandbox/short_names.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/sandbox/machine.h"
#include "platform/sandbox/volume_statement.h"

namespace qv::sandbox {

namespace {

bool IsShortNameChar(unsigned char c) {
  if (c >= 0x80) return false;
  if (std::isalnum(c)) return true;
  return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

bool EntryExists(const std::string& host_path) {
  struct stat st;
  return ::lstat(host_path.c_str(), &st) == 0;
}

// A part of a long name as it may stand in a short one: upper case, "_" for
// a character a short name may not hold (one for each UTF-8 sequence),
// blanks and dots left out.
std::string CleanPart(const std::string& part) {
  std::string out;
  for (unsigned char c : part) {
    if (c == ' ' || c == '.') continue;
    if (c >= 0x80) {
      if ((c & 0xC0) == 0x80) continue;
      out.push_back('_');
      continue;
    }
    if (IsShortNameChar(c)) {
      out.push_back(static_cast<char>(std::toupper(c)));
    } else {
      out.push_back('_');
    }
  }
  return out;
}

// The base with the numeric tail n: "PROGRA~1"; past four tries Windows
// mixes a checksum of the long name into the short one so that crowded
// folders stay quick to search.
std::string TailedBase(const std::string& base, const std::string& long_name, int n) {
  if (n <= 4) return base.substr(0, 6) + "~" + std::to_string(n);
  uint16_t hash = 0;
  for (unsigned char c : long_name) {
    hash = static_cast<uint16_t>((hash * 37u + c) ^ (hash >> 11));
  }
  char hex[5];
  std::snprintf(hex, sizeof(hex), "%04X", hash);
  std::string tail = "~" + std::to_string(n - 4);
  std::string head = base.substr(0, 2) + hex;
  if (head.size() + tail.size() > 8) head.resize(8 - tail.size());
  return head + tail;
}

}  // namespace

bool IsValidShortName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (dot != std::string::npos && ext.empty()) return false;
  if (ext.find('.') != std::string::npos) return false;
  for (unsigned char c : base) {
    if (!IsShortNameChar(c)) return false;
  }
  for (unsigned char c : ext) {
    if (!IsShortNameChar(c)) return false;
  }
  return true;
}

std::string ShortNameCandidate(const std::string& long_name, int n) {
  std::string trimmed = long_name;
  size_t lead = trimmed.find_first_not_of('.');
  trimmed = lead == std::string::npos ? "" : trimmed.substr(lead);
  const size_t dot = trimmed.rfind('.');
  std::string base = CleanPart(dot == std::string::npos ? trimmed : trimmed.substr(0, dot));
  std::string ext = dot == std::string::npos ? "" : CleanPart(trimmed.substr(dot + 1));
  if (ext.size() > 3) ext.resize(3);
  if (base.empty()) base = "_";
  std::string name = TailedBase(base, long_name, n);
  if (!ext.empty()) name += "." + ext;
  return name;
}

// ---- Short names kept by the machine ---------------------------------------

const Machine::NameLink* Machine::CachedLink(const NameLinks& links, const std::string& key,
                                             const std::string& host_dir,
                                             const std::string& entry_name) {
  const auto it = links.find(key);
  if (it == links.end()) return nullptr;
  const std::string& entry = entry_name.empty() ? it->second.name : entry_name;
  struct stat st;
  if (::lstat((host_dir + "/" + entry).c_str(), &st) != 0 || st.st_dev != it->second.device ||
      st.st_ino != it->second.inode) {
    return nullptr;
  }
  return &it->second;
}

void Machine::CacheLink(NameLinks* links, const std::string& key, const std::string& name,
                        const std::string& host_dir, const std::string& entry_name) {
  constexpr size_t kMaxLinks = 65536;
  struct stat st;
  if (::lstat((host_dir + "/" + entry_name).c_str(), &st) != 0) return;
  if (links->size() >= kMaxLinks) links->clear();
  (*links)[key] = NameLink{name, st.st_dev, st.st_ino};
}

std::string Machine::FindShortName(const std::string& host_dir, const std::string& folded) {
  if (!volume_) return "";
  const std::string key = host_dir + '\n' + folded;
  if (const NameLink* link = CachedLink(long_names_by_short_, key, host_dir, "")) {
    return link->name;
  }
  const std::string rel = host_dir.substr(std::min(root_.size(), host_dir.size()));
  VolumeStatement q(
      Prepared("SELECT long_name FROM short_names WHERE dir = ?1 AND short_fold = ?2"));
  q.Bind(1, rel);
  q.Bind(2, folded);
  while (q.Step() == SQLITE_ROW) {
    std::string candidate = q.Text(0);
    if (EntryExists(host_dir + "/" + candidate)) {
      CacheLink(&long_names_by_short_, key, candidate, host_dir, candidate);
      return candidate;
    }
  }
  return "";
}

std::string Machine::FindNotYetGivenShortName(const std::string& host_dir,
                                              const std::string& folded) {
  if (folded.find('~') == std::string::npos || !IsValidShortName(folded)) return "";
  // Windows gives every entry its short name when the entry is made; here
  // they are given out when first asked for. A short name asked for before
  // its entry's has been given out (written by hand into a boot file, say)
  // is found once the folder's entries all have theirs.
  DIR* dir = ::opendir(host_dir.c_str());
  if (dir == nullptr) return "";
  while (dirent* e = ::readdir(dir)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    std::string unused;
    ShortNameOf(host_dir, e->d_name, &unused);
  }
  ::closedir(dir);
  return FindShortName(host_dir, folded);
}

Status Machine::ShortNameOf(const std::string& host_dir, const std::string& long_name,
                            std::string* short_name) {
  if (IsValidShortName(long_name)) {
    *short_name = is_nt() ? long_name : FoldCase(long_name);
    return Status::OK();
  }
  if (!volume_) return Status::Error(kErrorInvalidFunction, "no volume database");
  const std::string rel = host_dir.substr(std::min(root_.size(), host_dir.size()));
  const std::string long_fold = FoldCase(long_name);
  const std::string key = host_dir + '\n' + long_fold;
  if (const NameLink* link = CachedLink(short_names_by_long_, key, host_dir, long_name)) {
    *short_name = link->name;
    return Status::OK();
  }
  if (KeptShortName(rel, long_fold, short_name)) {
    CacheLink(&short_names_by_long_, key, *short_name, host_dir, long_name);
    return Status::OK();
  }
  for (int n = 1; n < 100000; ++n) {
    const std::string candidate = ShortNameCandidate(long_name, n);
    // A name in use in the folder: a long name, or a short name given out
    // to an entry that is still there.
    if (!FindInexact(host_dir, FoldCase(candidate)).empty()) continue;
    const Status s = KeepShortName(rel, long_fold, long_name, candidate);
    if (!s.ok()) return s;
    *short_name = candidate;
    CacheLink(&short_names_by_long_, key, candidate, host_dir, long_name);
    return Status::OK();
  }
  return Status::Error(kErrorFileExists, "no free short name for " + long_name);
}

bool Machine::KeptShortName(const std::string& rel_dir, const std::string& long_fold,
                            std::string* short_name) {
  VolumeStatement q(
      Prepared("SELECT short_name FROM short_names WHERE dir = ?1 AND long_fold = ?2"));
  q.Bind(1, rel_dir);
  q.Bind(2, long_fold);
  if (q.Step() != SQLITE_ROW) return false;
  *short_name = q.Text(0);
  return true;
}

Status Machine::KeepShortName(const std::string& rel_dir, const std::string& long_fold,
                              const std::string& long_name, const std::string& short_name) {
  const std::string short_fold = FoldCase(short_name);
  VolumeStatement ins(
      Prepared("INSERT OR REPLACE INTO short_names "
               "(dir, long_fold, long_name, short_name, short_fold) VALUES (?1, ?2, ?3, ?4, ?5)"));
  ins.Bind(1, rel_dir);
  ins.Bind(2, long_fold);
  ins.Bind(3, long_name);
  ins.Bind(4, short_name);
  ins.Bind(5, short_fold);
  if (ins.Step() != SQLITE_DONE) {
    return Status::Error(kErrorWriteFault,
                         std::string("cannot record a short name: ") + sqlite3_errmsg(volume_));
  }
  // A stale record of another name with the same short name is dropped.
  VolumeStatement del(
      Prepared("DELETE FROM short_names WHERE dir = ?1 AND short_fold = ?2 AND long_fold <> ?3"));
  del.Bind(1, rel_dir);
  del.Bind(2, short_fold);
  del.Bind(3, long_fold);
  if (del.Step() == SQLITE_DONE && sqlite3_changes(volume_) > 0) {
    // A short name went from an entry that is gone to this one. What was
    // kept for the old entry could come back to life with a file made
    // again under its long name (the host may even reuse its inode).
    short_names_by_long_.clear();
    long_names_by_short_.clear();
    located_.clear();
  }
  return Status::OK();
}

}  // namespace qv::sandbox
