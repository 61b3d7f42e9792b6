// The storage's entry point: picks the store by the location, and what both
// stores share.
#include "server/storage.h"

#include <ctime>

#include "server/postgres_storage.h"
#include "server/sqlite_storage.h"

namespace qv::server {

bool IsPostgresUrl(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

Status Storage::Open(const StorageOptions& options, Mode mode, std::unique_ptr<Storage>* storage) {
  if (options.login_ttl_seconds <= 0) {
    return Status::InvalidArgument("the login ID lifetime must be at least one second");
  }
  if (IsPostgresUrl(options.path)) return PostgresStorage::Open(options, mode, storage);
  return SqliteStorage::Open(options, mode, storage);
}

int64_t Storage::Now() const {
  return options_.clock ? options_.clock() : static_cast<int64_t>(std::time(nullptr));
}

std::string FormatUtcTime(int64_t unix_seconds) {
  const std::time_t time = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Status SchemaMismatch(const std::string& where, int64_t version, int64_t newest) {
  if (version > newest) {
    return Status::Error(kErrorNotSupported, where + " was made by a newer qvserver (schema " +
                                                 std::to_string(version) + ", this one reads " +
                                                 std::to_string(newest) + ")");
  }
  return Status::Error(kErrorNotSupported, where + " has an older schema (" +
                                               std::to_string(version) + ", this qvserver needs " +
                                               std::to_string(newest) +
                                               "): bring it up to date with \"qvserver init\"");
}

}  // namespace qv::server
