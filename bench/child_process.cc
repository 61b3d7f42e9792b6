// Child processes of the benchmarks.
#include "bench/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "bench/figures.h"

extern char** environ;

namespace qv::bench {

namespace {

std::vector<char*> Arguments(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& stdin_text,
                     const std::function<void(std::string_view)>& on_output) {
  ChildResult result;
  int out_fds[2], in_fds[2];
  if (::pipe2(out_fds, O_CLOEXEC) != 0) return result;
  if (::pipe2(in_fds, O_CLOEXEC) != 0) {
    ::close(out_fds[0]);
    ::close(out_fds[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, in_fds[0], STDIN_FILENO);
  std::vector<char*> args = Arguments(argv);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_fds[1]);
  ::close(in_fds[0]);
  if (rc != 0) {
    ::close(out_fds[0]);
    ::close(in_fds[1]);
    return result;
  }
  // Short input fits the pipe's buffer.
  if (!stdin_text.empty() && ::write(in_fds[1], stdin_text.data(), stdin_text.size()) < 0) {
    std::perror("write");
  }
  ::close(in_fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(out_fds[0], buffer, sizeof(buffer))) > 0) {
    if (on_output) {
      on_output(std::string_view(buffer, static_cast<size_t>(n)));
    } else {
      result.out.append(buffer, n);
    }
  }
  ::close(out_fds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  result.wall_seconds = Seconds(start);
  result.max_rss_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.ok = result.exit_code == 0;
  return result;
}

BackgroundChild::BackgroundChild(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  std::vector<char*> args = Arguments(argv);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return;
  }
  pid_ = pid;
  out_fd_ = fds[0];
}

BackgroundChild::~BackgroundChild() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
}

std::string BackgroundChild::ReadLine() {
  std::string line;
  char c;
  while (out_fd_ >= 0 && ::read(out_fd_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string BuildFolder() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

}  // namespace qv::bench
