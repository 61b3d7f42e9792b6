// Fuzzes the reading of version texts: VersionToNumber and IsNewerVersion on
// any text, and the side file (path & ".ver") of a file without a version
// resource, read through a sandbox machine's file system.
//
// Input: the side file's bytes; the same bytes, cut at the first NUL, are
// also compared as two version texts (before and after a '|').
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_machine.h"
#include "install/modInstall.h"

namespace {

using qv::fuzz::Check;

// Every number is finite (a plain number keeps its sign: "-1" reads as -1);
// a text reads the same with its dots written as commas.
void CheckVersionText(const std::string& text) {
  const double number = qv::VersionToNumber(text);
  Check(std::isfinite(number), "VersionToNumber is not finite");
  std::string commas = text;
  std::replace(commas.begin(), commas.end(), '.', ',');
  Check(qv::VersionToNumber(commas) == number, "commas and dots read differently");
  Check(!qv::IsNewerVersion(text, text), "a version is newer than itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qv::fuzz::Pieces pieces(data, size);
  const std::string texts = pieces.Take('\0');
  const size_t bar = texts.find('|');
  const std::string current = texts.substr(0, bar);
  const std::string offered = bar == std::string::npos ? "" : texts.substr(bar + 1);
  CheckVersionText(current);
  CheckVersionText(offered);
  if (qv::IsNewerVersion(current, offered)) {
    Check(!qv::IsNewerVersion(offered, current), "each version newer than the other");
  }

  auto& machine = qv::fuzz::FuzzMachine();
  const std::string side(reinterpret_cast<const char*>(data), size);
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\plain.dll", "no version resource here");
  qv::fuzz::PutFile(machine, "C:\\Fuzz\\plain.dll.ver", side);
  const std::string version = qv::GetFileVersionString("C:\\Fuzz\\plain.dll");
  Check(version.find_first_of(" \r\n") == std::string::npos,
        "a side-file version holds a space or a line end");
  CheckVersionText(version);
  return 0;
}
