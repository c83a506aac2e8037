// The commands of qmctl, registered on the CLI11 application by topic. Each command's callback
// runs it and stores its exit code in the `exitCode` the caller passes.
#ifndef QT_TOOLS_QMCTL_COMMANDS_H
#define QT_TOOLS_QMCTL_COMMANDS_H

#include <string>

#include <CLI/CLI.hpp>

#include "mqi/admin.h"

namespace qmctl {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,   // an MQ call or an administrative operation failed
  kExitUsage = 2,    // bad arguments
  kExitNothing = 3,  // no message, too few status records, no echo
};

// Writes "qmctl: <message>" to standard error and returns kExitFailed.
int fail(const mqi::Status& status);
// Writes "qmctl: <message>" to standard error and returns `code`.
int report(const std::string& message, int code);
// The end of a command that only changes something: fail(status) when it failed, else `done`
// as a line on standard output and kExitOk.
int finish(const mqi::Status& status, const std::string& done);

// A CLI11 check on a queue or queue manager name (1-48 characters of A-Z a-z 0-9 . / _ %).
CLI::Validator nameCheck(const std::string& what);
// A CLI11 check on a hexadecimal identifier of up to 24 bytes.
CLI::Validator identifierCheck();

void addQueueManagerCommands(CLI::App& app, int& exitCode);
void addQueueCommands(CLI::App& app, int& exitCode);
void addMessageCommands(CLI::App& app, int& exitCode);
void addTransferCommands(CLI::App& app, int& exitCode);
void addSessionCommands(CLI::App& app, int& exitCode);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_COMMANDS_H
