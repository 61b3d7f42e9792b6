// qvinit's memory for large inputs: an install list of many records fetched
// from the server, and a long wininit.ini taken up at the next start of a
// machine. Each bounds the peak resident memory of a qvinit process
// generously: well above what the program needs, well below what holding
// the input several times over takes. Left out under the sanitizers, whose
// bookkeeping changes every figure.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "server/http_server.h"
#include "server/storage.h"
#include "tests/test_util.h"

namespace qv::testing {
namespace {

// qvinit's own peak with a tiny input, and room to spare.
constexpr double kBaseMiB = 40;
constexpr double kMiB = 1 << 20;

// An install list of n records in the stored layout, each one of the
// product's own.
std::string ProductList(int n) {
  std::string list =
      R"({"format": "qv-installlist", "version": 1, "fields": [)"
      R"({"name": "SequenceID", "type": "integer"}, {"name": "FileName", "type": "string"},)"
      R"({"name": "DownloadLocation", "type": "string"}, {"name": "InstallType", "type": "integer"},)"
      R"({"name": "FileVersion", "type": "string"}, {"name": "IsQVObject", "type": "boolean"}],)"
      R"( "records": [)";
  char record[128];
  for (int i = 0; i < n; ++i) {
    std::snprintf(record, sizeof(record),
                  "%s\n[%d, \"m%d.dll\", \"lib/m%d.dll\", 2, \"3.0.%d\", true]", i == 0 ? "" : ",",
                  i + 1, i, i, i % 1000);
    list += record;
  }
  return list + "]}\n";
}

TEST(LargeInputTest, AnInstallListTakesLittleMoreMemoryThanItsText) {
  if (kSanitized) GTEST_SKIP() << "memory figures mean nothing under the sanitizers";
  const std::string dir = MakeTempDir("qvlarge");
  double list_mib = 0;
  {
    server::StorageOptions options;
    options.path = dir + "/server.db";
    std::unique_ptr<server::Storage> storage;
    Status status = server::Storage::Open(options, server::Storage::Mode::kCreate, &storage);
    if (status.ok()) status = storage->AddUser("KEY", "dev", "pw", false);
    const std::string list = ProductList(100000);
    list_mib = list.size() / kMiB;
    if (status.ok()) status = storage->PutInstallList("KEY", list);
    ASSERT_TRUE(status.ok()) << status.ToString();
  }
  server::ServerOptions options;
  options.db_path = dir + "/server.db";
  options.threads = 2;
  std::unique_ptr<server::Server> server;
  const Status started = server::Server::Start(options, &server);
  ASSERT_TRUE(started.ok()) << started.ToString();
  const std::string machine = dir + "/machine";
  ASSERT_EQ(RunCommand({QvinitPath(), "machine", "init", machine}).exit_code, 0);

  // The developer filter leaves no record: the run only takes the list in.
  double peak_mib = 0;
  const std::string url = server->base_url();
  CommandResult r =
      RunCommandMeasured({QvinitPath(), "--headless", "--machine", machine, "--password-stdin",
                          "startup", url + "/", url + "/bo", "KEY", "dev", "127.0.0.1", "--dev"},
                         "pw\n", &peak_mib);
  EXPECT_EQ(r.exit_code, 0) << r.err << r.out;
  EXPECT_GT(peak_mib, 0);
  EXPECT_LT(peak_mib, kBaseMiB + 3 * list_mib) << "a list of " << list_mib << " MiB";
  server.reset();
  RemoveTree(dir);
}

TEST(LargeInputTest, ALongWininitIniTakesNoMoreMemoryThanAShortOne) {
  if (kSanitized) GTEST_SKIP() << "memory figures mean nothing under the sanitizers";
  const std::string dir = MakeTempDir("qvlarge");
  const std::string machine = dir + "/machine";
  ASSERT_EQ(RunCommand({QvinitPath(), "machine", "init", machine, "--family", "9x"}).exit_code, 0);
  // Every line but the first is a problem of its own, reported in order.
  constexpr int kLines = 300000;
  std::string ini = "[rename]\r\n";
  for (int i = 0; i < kLines; ++i) ini += "this is not a rename line\r\n";
  const std::string ini_path = machine + "/drive_c/WINDOWS/wininit.ini";
  WriteHostFile(ini_path, ini);
  const size_t ini_size = ini.size();
  const double ini_mib = ini_size / kMiB;
  ini.clear();
  ini.shrink_to_fit();

  double peak_mib = 0;
  CommandResult r = RunCommandMeasured({QvinitPath(), "machine", "boot", machine}, "", &peak_mib);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GT(peak_mib, 0);
  EXPECT_LT(peak_mib, kBaseMiB + ini_mib) << "a wininit.ini of " << ini_mib << " MiB";
  std::istringstream out(r.out);
  std::string line, first_problem, last_problem;
  int problems = 0;
  while (std::getline(out, line)) {
    if (line.rfind("  problem:", 0) != 0) continue;
    if (++problems == 1) first_problem = line;
    last_problem = line;
  }
  EXPECT_EQ(problems, kLines);
  EXPECT_NE(first_problem.find("line 2 is not TARGET=SOURCE"), std::string::npos) << first_problem;
  EXPECT_NE(last_problem.find("line " + std::to_string(kLines + 1) + " is not"), std::string::npos)
      << last_problem;
  EXPECT_EQ(ReadHostFile(machine + "/drive_c/WINDOWS/wininit.bak").size(), ini_size);
  RemoveTree(dir);
}

}  // namespace
}  // namespace qv::testing
