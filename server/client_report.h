// ClientReport: what the console reads out of a client's last report and
// the User-Agent of its calls.
//
// The report is the eight lines the control sends with WriteLoginNotes,
// each "Name = value" and ending CRLF:
//
//   Available Page File = N        Total Page File = N
//   Available Physical Memory = N  Total Physical Memory = N
//   Available Virtual Memory = N   Total Virtual Memory = N
//   Memory Load = %N               Has admin access = Yes|No
//
// The figures are signed 32-bit decimals, so that one of 2^31 bytes or more
// arrives negative: it is read back as the unsigned value it stands for.
//
// The report names no Windows version; the transports send it in their
// User-Agent, "qv/3.00.0148 (Windows NT 6.1)" (or "(Windows 4.10)" on the
// 9x family).
#ifndef QV_SERVER_CLIENT_REPORT_H_
#define QV_SERVER_CLIENT_REPORT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace qv::server {

struct ClientReport {
  // In bytes; -1 when the report does not state them.
  int64_t total_physical = -1;
  int64_t available_physical = -1;
  // Percent; -1 when not stated.
  int64_t memory_load = -1;
  // "Yes", "No", or "" when not stated.
  std::string admin;
};

ClientReport ParseClientReport(std::string_view text);

// The Windows version a User-Agent names, with its common name when known
// ("Windows 7 (NT 6.1)"); the agent itself when it names none in the
// transports' form.
std::string WindowsVersionOfAgent(const std::string& agent);

}  // namespace qv::server

#endif  // QV_SERVER_CLIENT_REPORT_H_
