// Starting and ending child programs, in the shape of CreateProcess and TerminateProcess.
//
// Errors follow platform.h: a call that fails returns false and leaves a code (errno here)
// in lastError().
#ifndef QT_PLATFORM_PROCESS_H
#define QT_PLATFORM_PROCESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ProcessInformation {
  intptr_t process = 0;  // handle of the process: its process id here; 0 before any start
  uint32_t processId = 0;
};

// Splits a command line the way the Windows C runtime builds argv from one:
//  - the program name ends at the first blank or tab outside double quotes; quotes in it
//    only group and are dropped, backslashes are plain characters;
//  - each later argument ends at a blank or tab outside quotes; a double quote opens or
//    closes a quoted part; inside one, two double quotes give one literal quote;
//  - 2n backslashes before a quote give n backslashes (the quote then groups), 2n+1 give n
//    backslashes and a literal quote; backslashes before anything else are kept as they are.
// An empty or all-blank line gives no words.
std::vector<std::string> splitCommandLine(std::string_view commandLine);

// Starts the program of commandLine (split as above; a name without '/' is searched on
// PATH) as a child:
//  - in a session and process group of its own, with no controlling terminal;
//  - with standard input from /dev/null, standard output and error shared with the caller,
//    and no other descriptor of the caller;
//  - with default signal handling and no blocked signals;
//  - with the environment block as its whole environment when environment is not null (the
//    block is "NAME=value" strings, each ending in NUL, closed by an empty string; it is
//    read only within environmentSize bytes), else with the caller's environment;
//  - in the caller's current directory.
// Fills *info on success. A program that cannot be run fails the call (ENOENT, EACCES...).
bool createProcess(const char* commandLine, const char* environment, size_t environmentSize,
                   ProcessInformation* info);

// Kills the child and every process of its group at once (SIGKILL; exitCode cannot be given
// to a killed process here and is ignored), and collects the child when it is gone within a
// short while. A handle that names no process started here (0 or less) fails with EINVAL,
// so that a record that was never filled cannot reach other processes.
bool terminateProcess(intptr_t process, uint32_t exitCode);

// Waits until the child ends (by itself or killed) without collecting it, so that
// terminateProcess still reaches it and its group. *exitCode receives its exit code, or 128
// plus the number of the signal that ended it. False with the code when `process` names no
// child of this process (or terminateProcess collected it first).
bool waitForProcessEnd(intptr_t process, uint32_t* exitCode);

// Makes path the current directory of the whole process (children inherit it).
bool setCurrentDirectory(const char* path);

}  // namespace platform

#endif  // QT_PLATFORM_PROCESS_H
