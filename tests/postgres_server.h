// The PostgreSQL server of the tests that use the PostgreSQL store: the one
// the ctest fixture started (tests/pg_cluster.sh, its URL in the build
// folder), or, when there is none (qv_tests run by hand), one started here
// on first use and stopped when the test program ends. Each test case
// makes a database of its own on it.
#ifndef QV_TESTS_POSTGRES_SERVER_H_
#define QV_TESTS_POSTGRES_SERVER_H_

#include <string>

#include "platform/status.h"

namespace qv::testing {

// Runs sql on the database at url; *value is the first column of the first
// row, when asked for.
Status RunSql(const std::string& url, const std::string& sql, std::string* value = nullptr);

// A fresh, empty database on the server, dropped when this goes away.
class PostgresDatabase {
 public:
  PostgresDatabase();
  ~PostgresDatabase();
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  // Its postgresql:// URL; "" when no server could be had (the failure is
  // reported to the test).
  const std::string& url() const { return url_; }

 private:
  std::string name_;
  std::string url_;
};

}  // namespace qv::testing

#endif  // QV_TESTS_POSTGRES_SERVER_H_
