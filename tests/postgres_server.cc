// Finding or starting the tests' PostgreSQL server, and a database per test.
#include "tests/postgres_server.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "tests/test_util.h"

namespace qv::testing {

namespace {

// A server this process started; stopped at exit.
class OwnServer {
 public:
  OwnServer() : state_(MakeTempDir("qvpgstate")) {
    started_ = RunCommand({QV_PG_CLUSTER_SCRIPT, "start", state_}).exit_code == 0;
  }
  ~OwnServer() {
    RunCommand({QV_PG_CLUSTER_SCRIPT, "stop", state_});
    RemoveTree(state_);
  }
  std::string url() const { return started_ ? Trimmed(ReadHostFile(state_ + "/url")) : ""; }

  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }

 private:
  std::string state_;
  bool started_ = false;
};

// The URL of the server's "postgres" database.
std::string ServerUrl() {
  static const std::string url = [] {
    const std::string shared = std::string(QV_PG_STATE_DIR) + "/url";
    if (HostExists(shared)) {
      const std::string found = OwnServer::Trimmed(ReadHostFile(shared));
      if (RunSql(found, "SELECT 1").ok()) return found;
    }
    static OwnServer own;
    return own.url();
  }();
  return url;
}

}  // namespace

Status RunSql(const std::string& url, const std::string& sql, std::string* value) {
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(url.c_str()), &PQfinish);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    return Status::Error(kErrorBadNetPath, PQerrorMessage(conn.get()));
  }
  std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), &PQclear);
  const ExecStatusType state = PQresultStatus(result.get());
  if (state != PGRES_COMMAND_OK && state != PGRES_TUPLES_OK) {
    return Status::Error(kErrorInvalidFunction, sql + ": " + PQerrorMessage(conn.get()));
  }
  if (value != nullptr) {
    *value = PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
  }
  return Status::OK();
}

PostgresDatabase::PostgresDatabase() {
  static std::atomic<int> made{0};
  const std::string server = ServerUrl();
  if (server.empty()) {
    ADD_FAILURE() << "no PostgreSQL server (tests/pg_cluster.sh could not start one)";
    return;
  }
  name_ = "qv_" + std::to_string(::getpid()) + "_" + std::to_string(made++);
  const Status status = RunSql(server, "CREATE DATABASE " + name_);
  if (!status.ok()) {
    ADD_FAILURE() << status.ToString();
    return;
  }
  url_ = server.substr(0, server.rfind('/') + 1) + name_;
}

PostgresDatabase::~PostgresDatabase() {
  if (!url_.empty()) RunSql(ServerUrl(), "DROP DATABASE " + name_ + " WITH (FORCE)");
}

}  // namespace qv::testing
