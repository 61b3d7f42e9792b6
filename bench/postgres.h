// Postgres: a PostgreSQL cluster of its own for a benchmark, in a temporary
// folder, listening on a free port of 127.0.0.1 only.
//
// Start runs Debian's initdb (the newest version installed) and pg_ctl as
// the caller, or as the "postgres" system user when the caller is root (the
// server refuses to run as root), makes a database and gives its address as
// a postgresql:// URL. The cluster trusts connections to 127.0.0.1, which is
// enough for a throwaway cluster that lives as long as one benchmark. The
// destructor stops it and removes the folder.
#ifndef QV_BENCH_POSTGRES_H_
#define QV_BENCH_POSTGRES_H_

#include <memory>
#include <string>
#include <vector>

namespace qv::bench {

class Postgres {
 public:
  // nullptr with *error set when PostgreSQL is missing or does not start.
  static std::unique_ptr<Postgres> Start(std::string* error);
  ~Postgres();
  Postgres(const Postgres&) = delete;
  Postgres& operator=(const Postgres&) = delete;

  // "postgresql://qv@127.0.0.1:PORT/qvserver"
  const std::string& url() const { return url_; }

 private:
  Postgres() = default;
  // argv run as the cluster's owner; true when it exited with 0.
  bool Run(std::vector<std::string> argv, std::string* out = nullptr) const;

  std::string bin_;   // the folder of initdb, pg_ctl, createdb
  std::string dir_;   // the temporary folder
  std::string data_;  // the cluster's data folder in it
  std::string port_;
  std::string url_;
  bool as_postgres_ = false;
  bool running_ = false;
};

}  // namespace qv::bench

#endif  // QV_BENCH_POSTGRES_H_
