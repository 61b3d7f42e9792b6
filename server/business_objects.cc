// The business objects' operations over the storage.
#include "server/business_objects.h"

#include "installlist/install_list.h"
#include "platform/wall_clock.h"

namespace qv::server {

namespace {

BoAnswer Fault(const std::string& program_id, const Status& status) {
  BoAnswer answer;
  answer.kind = BoAnswer::Kind::kServerFault;
  answer.error = {kErrorServerFault, program_id, status.message()};
  return answer;
}

BoAnswer InvalidLoginId(const std::string& program_id) {
  BoAnswer answer;
  answer.kind = BoAnswer::Kind::kError;
  answer.error = {kErrorLoginIdInvalid, program_id, kLoginIdInvalidText};
  return answer;
}

}  // namespace

const std::shared_ptr<const std::string>& EmptyInstallListDocument() {
  static const auto document = std::make_shared<const std::string>(NewInstallList().ToJson());
  return document;
}

bool BusinessObjects::IsObject(const std::string& program_id) {
  return program_id == kGeneralObjectId || program_id == kV2ObjectId;
}

BoAnswer BusinessObjects::LoginUser(const std::string& program_id, const std::string& key_name,
                                    const std::string& login, const std::string& password,
                                    const std::string& remote_address, const CallerInfo& caller) {
  BoAnswer answer;
  answer.kind = BoAnswer::Kind::kText;
  const LoginThrottle::Clock::time_point now = LoginThrottle::Clock::now();
  bool admitted = false;
  Status status = throttle_.Admit(key_name, login, caller.address, now, &admitted);
  if (!status.ok()) return Fault(program_id, status);
  if (!admitted) return answer;
  bool valid = false;
  status = storage_->CheckUser(key_name, login, password, &valid);
  if (!status.ok()) return Fault(program_id, status);
  if (!valid) return answer;
  status = throttle_.Succeeded(key_name, login, caller.address, LoginThrottle::Clock::now());
  if (status.ok()) {
    status = storage_->IssueLoginId(key_name, login, remote_address, caller, &answer.text);
  }
  if (!status.ok()) return Fault(program_id, status);
  return answer;
}

bool BusinessObjects::LoginHeldBack(const std::string& key_name, const std::string& login,
                                    const std::string& caller) {
  bool held_back = false;
  const Status status =
      throttle_.HoldsBack(key_name, login, caller, LoginThrottle::Clock::now(), &held_back);
  return status.ok() && held_back;
}

Status BusinessObjects::CurrentList(const std::string& key_name, int64_t generation,
                                    std::shared_ptr<const std::string>* document) {
  if (generation == 0) {
    *document = EmptyInstallListDocument();
    return Status::OK();
  }
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    auto cached = cache_.find(key_name);
    if (cached != cache_.end() && cached->second.generation == generation) {
      *document = cached->second.document;
      return Status::OK();
    }
  }
  std::string text;
  bool found = false;
  int64_t read_generation = 0;
  Status status = storage_->GetInstallList(key_name, &found, &text, &read_generation);
  if (!status.ok()) return status;
  if (!found) {  // removed meanwhile
    *document = EmptyInstallListDocument();
    return Status::OK();
  }
  *document = std::make_shared<const std::string>(std::move(text));
  std::lock_guard<std::mutex> lock(cache_mutex_);
  CachedList& entry = cache_[key_name];
  // Another thread may have read a newer one meanwhile.
  if (read_generation >= entry.generation) entry = {read_generation, *document, nullptr, 0};
  return Status::OK();
}

Status BusinessObjects::SignedList(const std::string& key_name, int64_t generation,
                                   const std::shared_ptr<const std::string>& document,
                                   std::shared_ptr<const std::string>* signed_document) {
  const int64_t now = UnixTimeNow();
  const int64_t reuse_seconds = signer_->validity_seconds() / 100;
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    auto cached = signed_cache_.find(key_name);
    if (cached != signed_cache_.end() && cached->second.generation == generation &&
        now >= cached->second.signed_at && now - cached->second.signed_at < reuse_seconds) {
      *signed_document = cached->second.signed_document;
      return Status::OK();
    }
  }
  std::string text;
  Status status = signer_->Sign(*document, generation, now, &text);
  if (!status.ok()) return status;
  *signed_document = std::make_shared<const std::string>(std::move(text));
  std::lock_guard<std::mutex> lock(cache_mutex_);
  CachedList& entry = signed_cache_[key_name];
  if (generation >= entry.generation) entry = {generation, nullptr, *signed_document, now};
  return Status::OK();
}

BoAnswer BusinessObjects::GetInstallFiles(const std::string& program_id,
                                          const std::string& login_id) {
  std::string key_name;
  bool found = false;
  int64_t generation = 0;
  Status status = storage_->FindLogin(login_id, &found, &key_name, &generation);
  if (!status.ok()) return Fault(program_id, status);
  if (!found) return InvalidLoginId(program_id);
  BoAnswer answer;
  answer.kind = BoAnswer::Kind::kRecordset;
  status = CurrentList(key_name, generation, &answer.document);
  if (status.ok() && signer_ != nullptr) {
    status = SignedList(key_name, generation, answer.document, &answer.document);
  }
  if (!status.ok()) return Fault(program_id, status);
  return answer;
}

BoAnswer BusinessObjects::WriteLoginNotes(const std::string& program_id,
                                          const std::string& login_id, const std::string& report) {
  std::string key_name;
  bool found = false;
  int64_t generation = 0;
  Status status = storage_->FindLogin(login_id, &found, &key_name, &generation);
  if (status.ok() && found) status = storage_->AddLoginNote(login_id, report);
  if (!status.ok()) return Fault(program_id, status);
  if (!found) return InvalidLoginId(program_id);
  return BoAnswer{};
}

}  // namespace qv::server
