// qvserver: the reference server behind the control, and its tools.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "server/cab_pack.h"

namespace {

constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qvserver: serves install lists and download files to the installer control."};
  app.require_subcommand(1);

  std::string pack_file, pack_out;
  CLI::App* pack = app.add_subcommand(
      "pack", "Make a .cmp archive (a cabinet, MSZIP) holding FILE under its own name");
  pack->add_option("FILE", pack_file, "The file to pack")->required()->check(CLI::ExistingFile);
  pack->add_option("OUT", pack_out, "The archive to write")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  if (*pack) {
    std::string error;
    if (!qv::server::PackFile(pack_file, pack_out, &error)) {
      std::cerr << "qvserver: " << error << "\n";
      return 1;
    }
    return 0;
  }
  return kExitUsage;
}
