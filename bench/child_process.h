// ChildProcess: runs another program of this build and reads how much memory
// it took, for the benchmarks that measure a whole program.
#ifndef QV_BENCH_CHILD_PROCESS_H_
#define QV_BENCH_CHILD_PROCESS_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::bench {

struct ChildResult {
  bool ok = false;  // started and exited with status 0
  int exit_code = -1;
  std::string out;  // its standard output
  double wall_seconds = 0;
  // The child's peak resident memory. The kernel counts what this process
  // held when it started the child too, so keep this process small.
  double max_rss_mib = 0;
};

// Runs argv (no shell; a bare program name is looked up in PATH), feeding
// stdin_text; its standard error is this
// program's. With on_output, what it prints goes there piece by piece
// instead of into out.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& stdin_text = "",
                     const std::function<void(std::string_view)>& on_output = nullptr);

// A program that runs on while this one works with it: started with its
// standard output on a pipe, stopped with SIGTERM.
class BackgroundChild {
 public:
  explicit BackgroundChild(const std::vector<std::string>& argv);
  ~BackgroundChild();
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line it prints, without its line break; "" at the end.
  std::string ReadLine();

 private:
  int pid_ = -1;
  int out_fd_ = -1;
};

// The folder of this program (where the benchmarks are built); the build's
// programs are in its parent.
std::string BuildFolder();

}  // namespace qv::bench

#endif  // QV_BENCH_CHILD_PROCESS_H_
