// Start parameters, Parameters values, command line and environment block.
#include "service_host/start_plan.h"

#include <strings.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/registry.h"
#include "service_host/debug_out.h"

namespace {

bool isOption(const char* argument, const char* option) {
  return strcasecmp(argument, option) == 0;
}

// Reads a string value into value (kValueSize bytes, always NUL-terminated afterwards).
long readString(ParameterReader& registry, const char* name, char* value, uint32_t* type,
                uint32_t* size) {
  std::memset(value, 0, kValueSize);
  *type = 0;
  *size = kValueSize;
  long result = registry.QueryValue(name, type, reinterpret_cast<uint8_t*>(value), size);
  value[kValueSize - 1] = '\0';
  return result;
}

bool readCountingString(ParameterReader& registry, const char* name, char* value,
                        long* result) {
  uint32_t type = 0;
  uint32_t size = 0;
  *result = readString(registry, name, value, &type, &size);
  return ValueCounts(*result, type, size);
}

void readStartShell(ParameterReader& registry, StartPlan* plan) {
  char value[kValueSize];
  long result;
  if (!readCountingString(registry, "StartPMShell", value, &result)) return;
  if (isOption(value, "yes") || isOption(value, "1") || isOption(value, "on")) {
    plan->startShell = true;
  }
}

// The parameters fall back to the OS/2 value only when the first read fails outright.
void readParameters(ParameterReader& registry, StartPlan* plan) {
  char value[kValueSize];
  uint32_t type = 0;
  uint32_t size = 0;
  long result = readString(registry, "AppParameters", value, &type, &size);
  if (result != 0) result = readString(registry, "Os2AppParameters", value, &type, &size);
  if (ValueCounts(result, type, size)) AppendToCommandLine(value, plan);
}

// The directory falls back to the OS/2 value whenever the first does not count.
void readDirectory(ParameterReader& registry, StartActions& actions) {
  char value[kValueSize];
  long result;
  if (readCountingString(registry, "AppDirectory", value, &result) ||
      readCountingString(registry, "Os2AppDirectory", value, &result)) {
    actions.SetCurrentDirectory(value);
  }
}

// The environment block; false when memory ran out.
bool readEnvironment(ParameterReader& registry, StartPlan* plan) {
  try {
    std::vector<uint8_t> buffer(2);
    uint32_t type = 0;
    uint32_t size = 1;
    long result = registry.QueryValue("AppEnvironment", &type, buffer.data(), &size);
    // A value that keeps growing between the reads is not chased for ever.
    for (int round = 0; result == platform::kRegMoreData && type == platform::kRegMultiSz &&
                        round < 8;
         ++round) {
      buffer.assign(static_cast<size_t>(size) + 2, 0);
      result = registry.QueryValue("AppEnvironment", &type, buffer.data(), &size);
    }
    if (result == 0 && type == platform::kRegMultiSz) {
      size_t used = size < buffer.size() ? size : buffer.size();
      plan->environment.assign(buffer.begin(), buffer.begin() + static_cast<long>(used));
      plan->environment.push_back('\0');
      plan->environment.push_back('\0');
      plan->haveEnvironment = true;
    }
    return true;
  } catch (const std::bad_alloc&) {
    plan->environment.clear();
    plan->haveEnvironment = false;
    return false;
  }
}

PlanResult readRegistry(const char* serviceName, ParameterReader& registry,
                        StartActions& actions, StartPlan* plan) {
  std::vector<char> keyName;
  ParametersKeyName(serviceName, &keyName);
  long result = registry.OpenKey(keyName.data());
  if (result != 0) {
    SvcDebugOut(" [APPHOST] RegOpenKeyEx() failed rc = %d\n", static_cast<uint32_t>(result));
    return PlanResult::kStop;
  }
  readStartShell(registry, plan);
  char application[kValueSize];
  if (readCountingString(registry, "Application", application, &result)) {
    plan->os2 = actions.IsOs2App(application);
  } else {
    bool counts = readCountingString(registry, "Os2App", application, &result);
    plan->os2 = true;
    if (!counts) {
      SvcDebugOut(" [APPHOST] RegQueryValEx() failed rc = %d\n", static_cast<uint32_t>(result));
      registry.CloseKey();
      return plan->startShell ? PlanResult::kStart : PlanResult::kStop;
    }
  }
  plan->haveApplication = true;
  BuildCommandLine(application, plan->os2, plan);
  readParameters(registry, plan);
  readDirectory(registry, actions);
  bool enoughMemory = readEnvironment(registry, plan);
  registry.CloseKey();
  return enoughMemory ? PlanResult::kStart : PlanResult::kStop;
}

}  // namespace

bool ValueCounts(long result, uint32_t type, uint32_t size) {
  return result == 0 && type == platform::kRegSz && size > 1;
}

void BuildCommandLine(const char* path, bool os2, StartPlan* plan) {
  plan->commandLine[0] = '\0';
  plan->commandLineTooLong = false;
  std::string line = os2 ? std::string("OS2.EXE /S /P ") + path + " /C " + path : path;
  if (line.size() >= kCommandLineSize) {
    plan->commandLineTooLong = true;
    return;
  }
  std::memcpy(plan->commandLine, line.c_str(), line.size() + 1);
}

void AppendToCommandLine(const char* text, StartPlan* plan) {
  size_t used = std::strlen(plan->commandLine);
  size_t length = std::strlen(text);
  if (plan->commandLineTooLong || used + 1 + length >= kCommandLineSize) {
    plan->commandLineTooLong = true;
    return;
  }
  plan->commandLine[used] = ' ';
  std::memcpy(plan->commandLine + used + 1, text, length + 1);
}

void ParametersKeyName(const char* serviceName, std::vector<char>* keyName) {
  std::string name = std::string("SYSTEM\\CurrentControlSet\\Services\\") + serviceName +
                     "\\Parameters\\";
  keyName->assign(name.begin(), name.end());
  keyName->push_back('\0');
}

PlanResult PlanServiceStart(int argc, char** argv, ParameterReader& registry,
                            StartActions& actions, StartPlan* plan) {
  int i = 1;
  if (argc >= 2 && isOption(argv[1], "/P")) {
    plan->startShell = true;
    i = 2;
  }
  if (i < argc && isOption(argv[i], "/D") && i + 1 < argc) {
    actions.SetCurrentDirectory(argv[i + 1]);
    i += 2;
  }
  if (!plan->startShell && i < argc && isOption(argv[i], "/P")) {
    plan->startShell = true;
    ++i;
  }
  if (i >= argc) return readRegistry(argc > 0 ? argv[0] : "", registry, actions, plan);
  plan->os2 = actions.IsOs2App(argv[i]);
  plan->haveApplication = true;
  BuildCommandLine(argv[i], plan->os2, plan);
  for (++i; i < argc; ++i) AppendToCommandLine(argv[i], plan);
  return PlanResult::kStart;
}
