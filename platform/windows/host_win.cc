// The machine's identity and process checks on Windows.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/host.h"

namespace platform {

const std::string& machineKey() {
  static const std::string key = [] {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    GetComputerNameA(host, &size);
    // The boot time in whole minutes: the clock now less the time since boot, rounded so that
    // the milliseconds between the two readings do not change it.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t nowMs =
        ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
    const uint64_t bootMinute = (nowMs - GetTickCount64() + 30000) / 60000;
    return std::string(host) + "/" + std::to_string(bootMinute);
  }();
  return key;
}

int32_t currentProcessId() {
  return static_cast<int32_t>(GetCurrentProcessId());
}

const char* programName() {
  // The executable's name without its folder and without ".exe", as the program is named on
  // every system.
  static const std::string name = [] {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string full(path, length < sizeof path ? length : 0);
    const size_t slash = full.find_last_of("\\/");
    if (slash != std::string::npos) full.erase(0, slash + 1);
    if (full.size() > 4 && _stricmp(full.c_str() + full.size() - 4, ".exe") == 0)
      full.resize(full.size() - 4);
    return full;
  }();
  return name.c_str();
}

bool processGone(int32_t pid) {
  if (pid <= 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

bool waitSocketReadable(intptr_t socket, int timeoutMs) {
  if (socket < 0) return false;
  WSAPOLLFD fd = {};
  fd.fd = static_cast<SOCKET>(socket);
  fd.events = POLLRDNORM;
  return WSAPoll(&fd, 1, timeoutMs) > 0;
}

}  // namespace platform
