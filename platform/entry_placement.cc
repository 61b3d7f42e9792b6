// EntryPlacement: temporary names, the folders made, and the placement of
// the entries with its way back.
#include "platform/entry_placement.h"

#include <atomic>

namespace qv {

EntryPlacement::EntryPlacement(FileSystem* files, uint32_t process_id)
    : files_(files), process_id_(process_id) {}

EntryPlacement::~EntryPlacement() {
  if (committed_) return;
  for (const Pending& p : pending_) {
    if (p.placed.empty()) files_->DeleteFile(p.temp);
  }
  for (auto it = made_folders_.rbegin(); it != made_folders_.rend(); ++it) {
    files_->RemoveDirectory(*it);
  }
}

Status EntryPlacement::NewTempName(const std::string& folder, std::string* temp) {
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = folder + "\\~qvx" + std::to_string(process_id_) + "_" + std::to_string(counter++) +
            ".tmp";
    uint32_t attributes = 0;
    if (!files_->GetFileAttributes(*temp, &attributes).ok()) return Status::OK();
  }
  return Status::Error(kErrorFileExists, "no free temporary name in " + folder);
}

Status EntryPlacement::EnsureFolder(const std::string& entry, const std::string& folder) {
  uint32_t attributes = 0;
  if (files_->GetFileAttributes(folder, &attributes).ok()) {
    if (attributes & kFileAttributeDirectory) return Status::OK();
    return Status::Error(kErrorAlreadyExists, "cannot make the folder of entry \"" + entry +
                                                  "\": " + folder + " is a file");
  }
  Status s = files_->CreateDirectory(folder);
  if (!s.ok()) {
    return Status::Error(s.code(),
                         "cannot make the folder of entry \"" + entry + "\": " + s.message());
  }
  made_folders_.push_back(folder);
  return Status::OK();
}

void EntryPlacement::Add(const std::string& temp, const std::string& final_path,
                         const std::string& folder, const std::string& entry) {
  pending_.push_back(Pending{temp, final_path, folder, entry, "", ""});
}

Status EntryPlacement::Commit(int32_t* files_written) {
  for (size_t i = 0; i < pending_.size(); ++i) {
    Status s = Place(&pending_[i]);
    if (!s.ok()) {
      TakeBack(i);
      return Status::Error(s.code(), "cannot put the archive's entry \"" + pending_[i].entry +
                                         "\" in place: " + s.message());
    }
  }
  committed_ = true;
  for (const Pending& p : pending_) {
    if (!p.aside.empty()) files_->DeleteFile(p.aside);
  }
  *files_written = static_cast<int32_t>(pending_.size());
  return Status::OK();
}

Status EntryPlacement::Place(Pending* p) {
  uint32_t attributes = 0;
  if (files_->GetFileAttributes(p->final_path, &attributes).ok()) {
    if (attributes & kFileAttributeDirectory) {
      return Status::AccessDenied(p->final_path + " is a folder");
    }
    if (attributes & kFileAttributeReadOnly) {
      return Status::AccessDenied(p->final_path + " is read-only");
    }
    std::string aside;
    Status s = NewTempName(p->folder, &aside);
    if (s.ok()) s = files_->MoveFile(p->final_path, aside);
    if (!s.ok()) return s;
    p->aside = aside;
  }
  Status s = files_->MoveFile(p->temp, p->final_path);
  if (!s.ok()) {
    if (!p->aside.empty() && files_->MoveFile(p->aside, p->final_path).ok()) p->aside.clear();
    return s;
  }
  p->placed = p->final_path;
  return Status::OK();
}

void EntryPlacement::TakeBack(size_t failed) {
  for (size_t i = failed; i-- > 0;) {
    Pending& p = pending_[i];
    if (!p.aside.empty()) {
      if (files_->MoveFileEx(p.aside, p.placed, kMoveFileReplaceExisting).ok()) p.aside.clear();
    } else {
      files_->DeleteFile(p.placed);
    }
  }
}

}  // namespace qv
