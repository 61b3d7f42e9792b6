// qvinit: the host program. It places the control the way a web page or a
// client program would and reports what happened; it also makes and edits
// sandbox machines.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <string>

#include "host/machine_commands.h"

namespace {

constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "qvinit: installs and updates the client files of a Quillmark installation on a "
      "sandbox Windows machine, as the installer control does inside a host page."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show every command's help");

  // machine
  CLI::App* machine = app.add_subcommand("machine", "Make, show and edit a sandbox machine");
  machine->require_subcommand(1);

  std::string init_dir;
  std::string family = "nt";
  std::string user = "admin";
  CLI::App* init = machine->add_subcommand("init", "Make a fresh machine in DIR (new or empty)");
  init->add_option("DIR", init_dir, "Machine root folder")->required();
  init->add_option("--family", family, "Windows family")
      ->check(CLI::IsMember({"nt", "9x"}))
      ->capture_default_str();
  init->add_option("--user", user, "The user's rights")
      ->check(CLI::IsMember({"admin", "restricted"}))
      ->capture_default_str();

  std::string show_dir;
  CLI::App* show = machine->add_subcommand("show", "Show what a machine holds");
  show->add_option("DIR", show_dir, "Machine root folder")->required();

  std::string boot_dir;
  CLI::App* boot = machine->add_subcommand(
      "boot", "Start the machine: carry out the renames and RunOnceEx entries left for it");
  boot->add_option("DIR", boot_dir, "Machine root folder")->required();

  std::string reg_dir;
  CLI::App* reg = machine->add_subcommand("reg", "Query and change a machine's registry");
  reg->add_option("DIR", reg_dir, "Machine root folder")->required();
  reg->require_subcommand(1);
  std::string query_key;
  std::optional<std::string> query_value;
  CLI::App* query = reg->add_subcommand(
      "query", "Print a value's text, or every value of KEY (KEY as HKLM\\SOFTWARE\\...)");
  query->add_option("KEY", query_key, "Key, e.g. HKLM\\SOFTWARE\\Microsoft")->required();
  query->add_option("VALUE", query_value, "Value name");
  std::string set_key, set_value, set_data;
  CLI::App* set = reg->add_subcommand("set", "Write a REG_SZ value; KEY is made when missing");
  set->add_option("KEY", set_key, "Key")->required();
  set->add_option("VALUE", set_value, "Value name")->required();
  set->add_option("DATA", set_data, "Text")->required();
  std::optional<std::string> export_key;
  CLI::App* exp = reg->add_subcommand("export", "Print .reg text of KEY, or of everything");
  exp->add_option("KEY", export_key, "Key");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  if (*init) return qv::host::MachineInit(init_dir, family, user, std::cout, std::cerr);
  if (*show) return qv::host::MachineShow(show_dir, std::cout, std::cerr);
  if (*boot) return qv::host::MachineBoot(boot_dir, std::cout, std::cerr);
  if (*query) {
    return qv::host::MachineRegQuery(reg_dir, query_key, query_value, std::cout, std::cerr);
  }
  if (*set) {
    return qv::host::MachineRegSet(reg_dir, set_key, set_value, set_data, std::cout,
                                   std::cerr);
  }
  if (*exp) return qv::host::MachineRegExport(reg_dir, export_key, std::cout, std::cerr);
  return kExitUsage;
}
