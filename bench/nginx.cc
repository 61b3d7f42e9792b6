// Nginx: writes a configuration into a private folder, starts nginx in the
// foreground (as one process for the file server; with its workers for the
// balancer of deploy/nginx.conf.in) on a port that was free a moment
// before, and waits until it accepts connections. A port taken in the
// meantime makes nginx exit at once; another port is then tried.
#include "bench/nginx.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "bench/free_port.h"

extern char** environ;

namespace qv::bench {
namespace {

constexpr char kNginxProgram[] = "/usr/sbin/nginx";
constexpr int kPortAttempts = 5;
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(5);

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

std::string Config(const std::string& dir, const std::string& root, int port,
                   const Nginx::Tls& tls) {
  std::ostringstream c;
  c << "daemon off;\n"
    << "master_process off;\n"
    << "worker_processes 1;\n"
    << "pid " << dir << "/nginx.pid;\n"
    << "error_log " << dir << "/error.log warn;\n"
    << "events { worker_connections 1024; }\n"
    << "http {\n"
    << "  access_log off;\n"
    << "  sendfile on;\n"
    << "  tcp_nopush on;\n"
    << "  keepalive_timeout 300s;\n"
    << "  keepalive_requests 1000000;\n"
    << "  default_type application/octet-stream;\n"
    << "  client_body_temp_path " << dir << "/client_body;\n"
    << "  proxy_temp_path " << dir << "/proxy;\n"
    << "  fastcgi_temp_path " << dir << "/fastcgi;\n"
    << "  uwsgi_temp_path " << dir << "/uwsgi;\n"
    << "  scgi_temp_path " << dir << "/scgi;\n"
    << "  server {\n"
    << "    listen 127.0.0.1:" << port << (tls.cert.empty() ? "" : " ssl") << ";\n";
  if (!tls.cert.empty()) {
    c << "    ssl_certificate " << tls.cert << ";\n"
      << "    ssl_certificate_key " << tls.key << ";\n";
  }
  c << "    root " << root << ";\n"
    << "    location / { }\n"
    << "  }\n"
    << "}\n";
  return c.str();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces every "@NAME@" of text by its value.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    const std::string word = "@" + name + "@";
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
      text.replace(at, word.size(), value);
      at += value.size();
    }
  }
  return text;
}

}  // namespace

std::unique_ptr<Nginx> Nginx::Start(const std::string& root, std::string* error,
                                    const Tls& tls) {
  std::error_code ec;
  const std::string absolute_root = std::filesystem::absolute(root, ec).string();
  // nginx takes relative names from its own prefix folder.
  const Tls absolute_tls = tls.cert.empty() ? Tls{}
                                            : Tls{std::filesystem::absolute(tls.cert, ec).string(),
                                                  std::filesystem::absolute(tls.key, ec).string()};
  return Launch(
      [&](int port, const std::string& dir) {
        return Config(dir, absolute_root, port, absolute_tls);
      },
      !tls.cert.empty(), error);
}

std::unique_ptr<Nginx> Nginx::Balance(const std::string& root,
                                      const std::vector<std::string>& upstreams,
                                      std::string* error) {
  const std::string conf_template = ReadText(std::string(QV_DEPLOY_DIR) + "/nginx.conf.in");
  if (conf_template.empty()) {
    *error = std::string("cannot read ") + QV_DEPLOY_DIR + "/nginx.conf.in";
    return nullptr;
  }
  std::string servers;
  for (const std::string& upstream : upstreams) {
    servers += "server " + upstream + " max_fails=1 fail_timeout=5s;\n";
  }
  std::error_code ec;
  const std::string absolute_root = std::filesystem::absolute(root, ec).string();
  return Launch(
      [&](int port, const std::string& dir) {
        return Fill(conf_template, {{"PREFIX", dir},
                                    {"LISTEN", "127.0.0.1:" + std::to_string(port)},
                                    {"FILES", absolute_root},
                                    {"UPSTREAMS", servers}});
      },
      false, error);
}

std::unique_ptr<Nginx> Nginx::Launch(
    const std::function<std::string(int port, const std::string& dir)>& config, bool tls,
    std::string* error) {
  if (::access(kNginxProgram, X_OK) != 0) {
    *error = std::string(kNginxProgram) + " is missing (apt-get install nginx)";
    return nullptr;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "qvnginx.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder for nginx";
    return nullptr;
  }
  // Workers started by root run as nobody and pass through it to their
  // temporary files.
  ::chmod(pattern.c_str(), 0711);
  std::unique_ptr<Nginx> nginx(new Nginx());
  nginx->dir_ = pattern;
  nginx->tls_ = tls;
  const std::string conf = nginx->dir_ + "/nginx.conf";
  const std::string log = nginx->dir_ + "/output.log";

  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    const int port = FreePort();
    if (port == 0) continue;
    std::ofstream(conf) << config(port, nginx->dir_);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const std::string error_log = nginx->dir_ + "/error.log";
    const char* argv[] = {kNginxProgram,     "-p", nginx->dir_.c_str(), "-e",
                          error_log.c_str(), "-c", conf.c_str(),        nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, kNginxProgram, &actions, nullptr,
                               const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      *error = "cannot start nginx";
      return nullptr;
    }

    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    bool exited = false;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
      if (Accepts(port)) {
        nginx->pid_ = pid;
        nginx->port_ = port;
        return nginx;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      *error = "nginx did not accept connections in time: " + ReadText(error_log);
      return nullptr;
    }
    // Most likely the port was taken in between: try another one.
    *error = "nginx exited: " + ReadText(error_log) + ReadText(log);
  }
  return nullptr;
}

Nginx::~Nginx() {
  if (pid_ > 0) {
    ::kill(pid_, SIGQUIT);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      done = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string Nginx::base_url() const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

}  // namespace qv::bench
