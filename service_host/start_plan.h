// The planning part of the service start-up: the start parameters, the choice among the
// Parameters values, the child's command line and its environment block. It touches the
// system only through the two small interfaces below, so that it can run under test.
#ifndef QT_SERVICE_HOST_START_PLAN_H
#define QT_SERVICE_HOST_START_PLAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The registry reads of the start-up: one key open at a time. Results are registry codes
// (0, kRegMoreData of platform/registry.h, or another error).
class ParameterReader {
 public:
  virtual ~ParameterReader() = default;
  virtual long OpenKey(const char* keyName) = 0;
  virtual long QueryValue(const char* valueName, uint32_t* type, uint8_t* data,
                          uint32_t* size) = 0;
  virtual void CloseKey() = 0;
};

// What planning does to the process: the image test and the change of directory.
class StartActions {
 public:
  virtual ~StartActions() = default;
  virtual bool IsOs2App(const char* path) = 0;
  virtual void SetCurrentDirectory(const char* path) = 0;
};

constexpr size_t kCommandLineSize = 2048;  // at most 2047 characters
constexpr uint32_t kValueSize = 260;       // every registry value is read with this size

// The command line that starts the OS/2 PM shell.
constexpr char kShellCommandLine[] =
    "OS2.EXE /S /P C:\\OS2\\PMSHELL.EXE /C C:\\OS2\\PMSHELL.EXE";

struct StartPlan {
  bool startShell = false;
  bool os2 = false;               // the application runs through the OS/2 subsystem
  bool haveApplication = false;
  bool commandLineTooLong = false;  // refused: more than 2047 characters
  char commandLine[kCommandLineSize] = {};
  bool haveEnvironment = false;
  std::vector<char> environment;  // the block, closed by two NULs, when haveEnvironment
};

enum class PlanResult {
  kStart,  // go on: start the shell and/or the application as the plan says
  kStop,   // report the service stopped (any message has been given already)
};

// Plans the start from the service main's arguments (argv[0] the service name). Reads the
// registry only when the start parameters name no application. Messages go to SvcDebugOut.
PlanResult PlanServiceStart(int argc, char** argv, ParameterReader& registry,
                            StartActions& actions, StartPlan* plan);

// Pieces of the plan, open to tests.
// True when a string read counts: read without error, of type kRegSz, not empty.
bool ValueCounts(long result, uint32_t type, uint32_t size);
// The command line of the application: the path, or the OS/2 subsystem's form.
void BuildCommandLine(const char* path, bool os2, StartPlan* plan);
// Appends one blank and text; a line that would pass 2047 characters is marked too long.
void AppendToCommandLine(const char* text, StartPlan* plan);
// The key name of a service's parameters.
void ParametersKeyName(const char* serviceName, std::vector<char>* keyName);

#endif  // QT_SERVICE_HOST_START_PLAN_H
