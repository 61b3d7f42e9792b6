// qvinit: the host program. It places the control the way a web page or a
// client program would and reports what happened; it also makes and edits
// sandbox machines.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <string>

#include <unistd.h>

#include <cstdlib>

#include "control/ctlInit_V3.h"
#include "host/demo.h"
#include "host/machine_commands.h"
#include "host/session.h"
#include "platform/base64.h"
#include "platform/signature.h"

namespace {

using qv::host::kExitUsage;

// The start-up commands' shared arguments.
struct StartCommand {
  std::string download, bo_server, key_name, login, remote_address;
  bool dev = false;
};

void AddOnlineArguments(CLI::App* command, StartCommand* args) {
  command->add_option("DOWNLOAD", args->download, "Base address of the downloads")->required();
  command->add_option("BOSERVER", args->bo_server, "Address of the business-object server")
      ->required();
  command->add_option("KEYNAME", args->key_name, "Key name of the installation")->required();
  command->add_option("LOGIN", args->login, "The user's login")->required();
  command->add_option("REMOTEADDRESS", args->remote_address,
                      "The client's address; COPYONLY gathers the files into a picked folder")
      ->required();
  command->add_flag("--dev", args->dev, "Developer login: leave out the control's own files");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "qvinit: installs and updates the client files of a Quillmark installation on a "
      "sandbox Windows machine, as the installer control does inside a host page."};
  app.require_subcommand(1);
  app.fallthrough();
  app.set_help_all_flag("--help-all", "Show every command's help");
  app.set_version_flag("--version", std::string("qvinit ") + qv::kProjectVersion +
                                        " (control library " + qv::kLibraryFileName + " " +
                                        qv::kLibraryVersion + ")");

  // Options of the start-up commands.
  std::string machine_dir;
  bool password_stdin = false;
  std::string answer = "no";
  std::optional<std::string> pick;
  bool gui = false;
  bool headless = false;
  std::optional<std::string> report_file;
  std::optional<std::string> prelude_server;
  std::string ca_file;
  app.add_option("--machine", machine_dir,
                 "Sandbox machine root (default: " + qv::host::DefaultMachineDir() + ")");
  app.add_flag("--password-stdin", password_stdin,
               "Read the password from the first line of standard input "
               "(otherwise from QVINIT_PASSWORD)");
  app.add_option("--answer", answer, "Answer to Yes/No questions when no window is shown")
      ->check(CLI::IsMember({"yes", "no"}))
      ->capture_default_str();
  app.add_option("--pick", pick,
                 "The folder picker's answer when no window is shown: a folder of the machine "
                 "(C:\\Copy) or cancel");
  app.add_flag("--gui", gui, "Show the control in a real window (the default with a display)");
  app.add_flag("--headless", headless,
               "Draw the panel in the terminal (the default when there is no display)");
  app.add_option("--report", report_file, "Write what happened to FILE, one JSON object a line");
  app.add_option("--prelude-server", prelude_server,
                 "Default download server of the copy-only prelude");
  app.add_option("--ca-file", ca_file,
                 "Check the certificates of https:// servers against the authorities in FILE "
                 "(PEM) instead of the system's bundle (a private authority)")
      ->check(CLI::ExistingFile);

  std::optional<std::string> trust_key;
  app.add_option("--trust-key", trust_key,
                 "Before the start-up, make the machine trust only install lists signed with "
                 "this Ed25519 public key (base64, as \"qvserver key generate\" prints it); it "
                 "is kept in HKLM\\SOFTWARE\\Ostrel\\Quillmark ListTrustKey")
      ->check(CLI::Validator(
          [](std::string& text) {
            std::string key;
            return qv::Base64Decode(text, &key) && key.size() == qv::kEd25519PublicKeyBytes
                       ? std::string()
                       : std::string("not a 32-byte public key in base64");
          },
          "BASE64"));
  app.footer(
      "Exit status of startup, startup-v2, local and demo: 0 after Done, 10 after Reboot, "
      "20 for a refused login, 3 when the run halted before its end, 4 when the install list "
      "could not be trusted (--trust-key), 1 for any other error, 2 for usage.");

  StartCommand online;
  CLI::App* startup = app.add_subcommand("startup", "Log in, fetch the install list and install");
  AddOnlineArguments(startup, &online);
  CLI::App* startup_v2 = app.add_subcommand(
      "startup-v2", "As startup, with the client report and the login ID in the server address");
  AddOnlineArguments(startup_v2, &online);
  std::string local_folder;
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Serve a sample catalog on 127.0.0.1 and install it onto a fresh machine "
      "(--machine DIR: where to make it; a new temporary folder otherwise)");
  CLI::App* local =
      app.add_subcommand("local", "Install from a folder filled by a copy-only run");
  local->add_option("DOWNLOAD", local_folder, "Folder of the machine holding installlist.rst")
      ->required();

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
  bool run_programs = false;
  init->add_flag("--run-programs", run_programs,
                 "Run the programs that runs start (setup programs, registration, runtime "
                 "packages, launch records) on this host as the current user. UNSAFE for "
                 "catalogs you do not trust; without it they are recorded in DIR/programs.jsonl "
                 "and answer the exit code machine.json gives them (0 unless set)");

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

  if (gui && headless) {
    std::cerr << "qvinit: --gui and --headless exclude each other\n";
    return kExitUsage;
  }
  if (*demo) {
    qv::host::SessionOptions options;
    options.machine_dir = machine_dir;
    options.report_file = report_file;
    options.answer_yes = answer == "yes";
    options.gui = gui;
    return qv::host::RunDemo(options, std::cout, std::cerr);
  }
  if (*startup || *startup_v2 || *local) {
    qv::host::SessionOptions options;
    options.machine_dir = machine_dir.empty() ? qv::host::DefaultMachineDir() : machine_dir;
    options.make_machine_if_missing = machine_dir.empty();
    options.report_file = report_file;
    options.answer_yes = answer == "yes";
    options.pick = pick;
    options.prelude_server = prelude_server;
    options.ca_file = ca_file;
    options.trust_key = trust_key;
    // A window when asked for, or when a display is there and the terminal
    // was not asked for.
    options.gui = gui || (!headless && qv::host::WindowAvailable());
    qv::host::StartArguments args;
    if (*local) {
      args.method = qv::host::StartMethod::kStartupLocal;
      args.download_location = local_folder;
    } else {
      args.method =
          *startup ? qv::host::StartMethod::kStartup : qv::host::StartMethod::kStartupV2;
      args.download_location = online.download;
      args.bo_server = online.bo_server;
      args.key_name = online.key_name;
      args.login = online.login;
      args.remote_address = online.remote_address;
      args.dev_login = online.dev;
      if (password_stdin) {
        std::getline(std::cin, args.password);
        if (!args.password.empty() && args.password.back() == '\r') args.password.pop_back();
      } else if (const char* env = std::getenv("QVINIT_PASSWORD")) {
        args.password = env;
      }
    }
    return qv::host::RunSession(options, args, std::cout, std::cerr);
  }
  if (*init) {
    return qv::host::MachineInit(init_dir, family, user, run_programs, std::cout, std::cerr);
  }
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
