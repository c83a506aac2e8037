// qmctl serve where the dashboard's HTTP server is not built (Windows, for now): the command
// exists and says so, so that scripts get an answer rather than an unknown command.
#include "tools/qmctl/commands.h"
#include "tools/qmctl/dashboard.h"

namespace qmctl {

void addServeCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "serve", "Serve the live web dashboard of queue managers, queues and transfers");
  cmd->allow_extras();
  cmd->callback([&exitCode] {
    exitCode = report("the dashboard is not built into this program on Windows", kExitFailed);
  });
}

}  // namespace qmctl
