// A program of this build run as a child process by a test that must stop it
// at a moment of its choosing (SIGKILL in the middle of its work) or read
// its first line while it runs. The destructor kills what still runs.
#ifndef QV_TESTS_CHILD_PROCESS_H_
#define QV_TESTS_CHILD_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace qv::testing {

// A child process; stdout_pipe gives its standard output to read, otherwise
// its output goes nowhere. Standard input is empty.
class Child {
  using Clock = std::chrono::steady_clock;

 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
        bool stdout_pipe) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int fds[2] = {-1, -1};
    if (stdout_pipe && ::pipe2(fds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text = env_extra;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // True while the process runs.
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  int Wait() {
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
    }
    return exit_code_;
  }
  // The first line of standard output, waited for up to timeout.
  std::string ReadLine(std::chrono::seconds timeout) {
    std::string line;
    const auto end = Clock::now() + timeout;
    while (out_ >= 0 && Clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }
  // The base address a server program names on its first line ("listening
  // on <address>"), waited for up to timeout; "" when the line is another.
  std::string ListeningAddress(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    const std::string line = ReadLine(timeout);
    const std::string prefix = "listening on ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int exit_code_ = -1;
};

}  // namespace qv::testing

#endif  // QV_TESTS_CHILD_PROCESS_H_
