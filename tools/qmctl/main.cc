// qmctl: the operator tool for queue managers. See docs/qmctl.md.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/qmctl/commands.h"
#include "tools/qmctl/dashboard.h"

namespace {

bool isCommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->get_name() == name) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "qmctl: administer queue managers and queues, put, browse and get messages, send jobs "
      "and pings to the transfer agents and read their status records.\n"
      "Queue managers live in the folder named by QM_STORE (default /var/lib/qtransfer).\n"
      "Exit codes: 0 done, 1 failed, 2 bad usage, 3 nothing arrived.",
      "qmctl");
  app.require_subcommand(1, 1);
  app.fallthrough(false);
  int exitCode = qmctl::kExitOk;
  qmctl::addQueueManagerCommands(app, exitCode);
  qmctl::addQueueCommands(app, exitCode);
  qmctl::addMessageCommands(app, exitCode);
  qmctl::addTransferCommands(app, exitCode);
  qmctl::addSessionCommands(app, exitCode);
  qmctl::addServeCommand(app, exitCode);
  if (argc < 2) {
    std::cerr << app.help() << "qmctl: a command is required\n";
    return qmctl::kExitUsage;
  }
  if (argv[1][0] != '-' && !isCommand(app, argv[1])) {
    std::cerr << "qmctl: unknown command '" << argv[1] << "'\nRun 'qmctl --help' for the list.\n";
    return qmctl::kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "qmctl: " << e.what() << "\nRun 'qmctl --help' or 'qmctl COMMAND --help'.\n";
    return qmctl::kExitUsage;
  }
  return exitCode;
}
