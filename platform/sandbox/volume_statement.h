// VolumeStatement: one use of a statement that the machine keeps prepared on
// its volume database (Machine::Prepared). Binds, steps, and leaves the
// statement reset for the next use. Used by the files that keep short names
// and attributes there.
#ifndef QV_PLATFORM_SANDBOX_VOLUME_STATEMENT_H_
#define QV_PLATFORM_SANDBOX_VOLUME_STATEMENT_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace qv::sandbox {

class VolumeStatement {
 public:
  explicit VolumeStatement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~VolumeStatement() {
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  VolumeStatement(const VolumeStatement&) = delete;
  VolumeStatement& operator=(const VolumeStatement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void Bind(int i, const std::string& text) {
    if (stmt_)
      sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, value);
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string Text(int column) const {
    const unsigned char* t = sqlite3_column_text(stmt_, column);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt_, column))
             : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace qv::sandbox

#endif  // QV_PLATFORM_SANDBOX_VOLUME_STATEMENT_H_
