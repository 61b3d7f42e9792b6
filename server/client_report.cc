// Reading the figures of a client's report and the Windows version of its
// User-Agent.
#include "server/client_report.h"

#include <charconv>

namespace qv::server {

namespace {

// The value of the line "name = value" of text; "" when there is none.
std::string_view LineValue(std::string_view text, std::string_view name) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > name.size() + 3 && line.starts_with(name) &&
        line.substr(name.size(), 3) == " = ") {
      return line.substr(name.size() + 3);
    }
  }
  return {};
}

// A signed 32-bit figure as the unsigned value it stands for; -1 when value
// is not one.
int64_t Figure(std::string_view value) {
  if (!value.empty() && value.front() == '%') value.remove_prefix(1);
  int32_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || value.empty()) return -1;
  return static_cast<int64_t>(static_cast<uint32_t>(number));
}

struct WindowsName {
  bool nt;
  int major;
  int minor;
  const char* name;
};

constexpr WindowsName kWindowsNames[] = {
    {false, 4, 0, "Windows 95"},
    {false, 4, 10, "Windows 98"},
    {false, 4, 90, "Windows Me"},
    {true, 4, 0, "Windows NT 4.0"},
    {true, 5, 0, "Windows 2000"},
    {true, 5, 1, "Windows XP"},
    {true, 5, 2, "Windows XP x64 / Server 2003"},
    {true, 6, 0, "Windows Vista"},
    {true, 6, 1, "Windows 7"},
    {true, 6, 2, "Windows 8"},
    {true, 6, 3, "Windows 8.1"},
    {true, 10, 0, "Windows 10"},
};

// Reads "a.b" at the start of text.
bool ReadVersion(std::string_view text, int* major, int* minor) {
  const char* end = text.data() + text.size();
  auto [dot, error] = std::from_chars(text.data(), end, *major);
  if (error != std::errc() || dot == end || *dot != '.') return false;
  auto [rest, minor_error] = std::from_chars(dot + 1, end, *minor);
  return minor_error == std::errc() && (rest == end || *rest == ')' || *rest == ';');
}

}  // namespace

ClientReport ParseClientReport(std::string_view text) {
  ClientReport report;
  report.total_physical = Figure(LineValue(text, "Total Physical Memory"));
  report.available_physical = Figure(LineValue(text, "Available Physical Memory"));
  report.memory_load = Figure(LineValue(text, "Memory Load"));
  const std::string_view admin = LineValue(text, "Has admin access");
  if (admin == "Yes" || admin == "No") report.admin = admin;
  return report;
}

std::string WindowsVersionOfAgent(const std::string& agent) {
  bool nt = true;
  size_t at = agent.find("(Windows NT ");
  size_t version = at + 12;
  if (at == std::string::npos) {
    nt = false;
    at = agent.find("(Windows ");
    version = at + 9;
  }
  int major = 0, minor = 0;
  if (at == std::string::npos ||
      !ReadVersion(std::string_view(agent).substr(version), &major, &minor)) {
    return agent;
  }
  const std::string number = std::to_string(major) + "." + std::to_string(minor);
  for (const WindowsName& known : kWindowsNames) {
    if (known.nt == nt && known.major == major && known.minor == minor) {
      return std::string(known.name) + (nt ? " (NT " : " (") + number + ")";
    }
  }
  return (nt ? "Windows NT " : "Windows ") + number;
}

}  // namespace qv::server
