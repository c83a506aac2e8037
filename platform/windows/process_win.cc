// Child processes on Windows: CreateProcess with the command line as given, each child in a
// job object of its own so that ending it ends the processes it started too.
#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/process.h"
#include "platform/windows/windows_error.h"

namespace platform {
namespace {

// The job of each child started here, by process handle.
struct Jobs {
  std::mutex mutex;
  std::map<intptr_t, HANDLE> byProcess;
};
Jobs& jobs() {
  static Jobs* all = new Jobs;  // never destroyed: threads may outlive statics
  return *all;
}

HANDLE jobOf(intptr_t process) {
  std::lock_guard<std::mutex> guard(jobs().mutex);
  auto it = jobs().byProcess.find(process);
  return it == jobs().byProcess.end() ? nullptr : it->second;
}

// The environment block up to its closing empty string, within `size` bytes; an entry
// without its NUL is not taken.
std::string environmentBlock(const char* block, size_t size) {
  std::string copy;
  size_t i = 0;
  while (i < size && block[i] != '\0') {
    const size_t length = strnlen(block + i, size - i);
    if (i + length >= size) break;
    copy.append(block + i, length + 1);
    i += length + 1;
  }
  if (copy.empty()) copy.push_back('\0');  // an empty block still has its one entry's end
  copy.push_back('\0');
  return copy;
}

// An inheritable copy of one of this process's standard handles (nullptr when it has none).
HANDLE inheritableCopy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

}  // namespace

bool createProcess(const char* commandLine, const char* environment, size_t environmentSize,
                   ProcessInformation* info) {
  if (commandLine == nullptr || info == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  if (splitCommandLine(commandLine).empty()) return windows::fail(ERROR_FILE_NOT_FOUND);
  std::string line = commandLine;  // CreateProcessA may write into the command line
  std::string block;
  if (environment != nullptr) block = environmentBlock(environment, environmentSize);

  // Standard input from NUL, output and error shared with the caller, and no other handle:
  // only these three are listed for the child to inherit.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE handles[3] = {
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                  OPEN_EXISTING, 0, nullptr),
      inheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE)),
      inheritableCopy(GetStdHandle(STD_ERROR_HANDLE))};
  HANDLE listed[3];
  DWORD count = 0;
  for (HANDLE handle : handles)
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) listed[count++] = handle;

  SIZE_T attributeSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::string attributeSpace(attributeSize, '\0');
  auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeSpace.data());
  const bool listOk =
      count > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize) &&
      UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                count * sizeof(HANDLE), nullptr, nullptr);

  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = listOk ? sizeof startup : sizeof startup.StartupInfo;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles[0];
  startup.StartupInfo.hStdOutput = handles[1];
  startup.StartupInfo.hStdError = handles[2];
  if (listOk) startup.lpAttributeList = attributes;

  // Suspended until it is in its job, so that nothing it starts escapes the job.
  const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED |
                      (listOk ? EXTENDED_STARTUPINFO_PRESENT : 0);
  PROCESS_INFORMATION started = {};
  const bool ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                 environment != nullptr ? block.data() : nullptr, nullptr,
                                 &startup.StartupInfo, &started);
  const DWORD code = GetLastError();
  if (listOk) DeleteProcThreadAttributeList(attributes);
  for (HANDLE handle : handles)
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (!ok) return windows::fail(code);

  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr && !AssignProcessToJobObject(job, started.hProcess)) {
    CloseHandle(job);  // a job the system refuses (nested jobs on old systems): the child alone
    job = nullptr;
  }
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  info->process = reinterpret_cast<intptr_t>(started.hProcess);
  info->processId = started.dwProcessId;
  if (job != nullptr) {
    std::lock_guard<std::mutex> guard(jobs().mutex);
    jobs().byProcess[info->process] = job;
  }
  return true;
}

bool terminateProcess(intptr_t process, uint32_t exitCode) {
  if (process <= 0) return windows::fail(ERROR_INVALID_PARAMETER);
  HANDLE job = jobOf(process);
  HANDLE child = reinterpret_cast<HANDLE>(process);
  const bool ended = job != nullptr ? TerminateJobObject(job, exitCode)
                                    : TerminateProcess(child, exitCode);
  if (!ended) return windows::failLastError();
  // The handle stays open: a thread waiting for the child's end still sees it end.
  WaitForSingleObject(child, 2000);
  return true;
}

bool waitForProcessEnd(intptr_t process, uint32_t* exitCode) {
  if (process <= 0 || exitCode == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  HANDLE child = reinterpret_cast<HANDLE>(process);
  if (WaitForSingleObject(child, INFINITE) != WAIT_OBJECT_0) return windows::failLastError();
  DWORD code = 0;
  if (!GetExitCodeProcess(child, &code)) return windows::failLastError();
  *exitCode = code;
  return true;
}

bool setCurrentDirectory(const char* path) {
  if (path == nullptr) return windows::fail(ERROR_INVALID_PARAMETER);
  return SetCurrentDirectoryA(path) || windows::failLastError();
}

}  // namespace platform
