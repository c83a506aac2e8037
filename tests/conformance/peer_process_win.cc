// The peer started with CreateProcess, its standard input and output as anonymous pipes.
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/conformance/peer_process.h"

namespace conformance {
namespace {

using Clock = std::chrono::steady_clock;

HANDLE handleOf(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

bool sameName(const std::string& entry, const std::string& other) {
  const size_t length = entry.find('=', 1);
  return length != std::string::npos && other.size() > length && other[length] == '=' &&
         _strnicmp(entry.c_str(), other.c_str(), length) == 0;
}

// This process's environment block with `extra` ("NAME=value") replacing or adding entries.
std::string environmentBlock(const std::vector<std::string>& extra) {
  std::string block;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    const std::string text = entry;
    bool replaced = false;
    for (const std::string& added : extra) replaced = replaced || sameName(added, text);
    if (!replaced) block.append(text).push_back('\0');
  }
  if (strings != nullptr) FreeEnvironmentStringsA(strings);
  for (const std::string& added : extra) block.append(added).push_back('\0');
  block.push_back('\0');
  return block;
}

}  // namespace

PeerProcess::PeerProcess(const std::vector<std::string>& extraEnvironment) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE inRead, inWrite, outRead, outWrite;
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) throw std::runtime_error("pipe failed");
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) throw std::runtime_error("pipe failed");
  // The test's ends stay here.
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::string program = QT_CONFORMANCE_PEER;
  std::string commandLine = "\"" + program + "\"";
  std::string environment = environmentBlock(extraEnvironment);
  PROCESS_INFORMATION started = {};
  const bool ok = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                 environment.data(), nullptr, &startup, &started);
  CloseHandle(inRead);
  CloseHandle(outWrite);
  toPeer_ = reinterpret_cast<intptr_t>(inWrite);
  fromPeer_ = reinterpret_cast<intptr_t>(outRead);
  if (!ok) throw std::runtime_error("cannot start the peer program " + program);
  CloseHandle(started.hThread);
  process_ = reinterpret_cast<intptr_t>(started.hProcess);
}

PeerProcess::~PeerProcess() {
  if (toPeer_ != -1) CloseHandle(handleOf(toPeer_));
  toPeer_ = -1;
  if (process_ != -1 && waitExit(std::chrono::seconds(10)) == -1) kill();
  if (fromPeer_ != -1) CloseHandle(handleOf(fromPeer_));
}

void PeerProcess::send(const std::string& command) {
  std::string line = command + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0 && toPeer_ != -1) {
    DWORD written = 0;
    if (!WriteFile(handleOf(toPeer_), p, static_cast<DWORD>(left), &written, nullptr) ||
        written == 0)
      return;
    p += written;
    left -= written;
  }
}

std::optional<std::string> PeerProcess::readLine(std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  for (;;) {
    if (std::optional<std::string> line = takePendingLine()) return line;
    if (Clock::now() > end) return std::nullopt;
    // Anonymous pipes cannot be waited on: look whether bytes wait, else pause a little.
    DWORD available = 0;
    if (!PeekNamedPipe(handleOf(fromPeer_), nullptr, 0, nullptr, &available, nullptr))
      return std::nullopt;  // the peer is gone
    if (available == 0) {
      Sleep(1);
      continue;
    }
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(handleOf(fromPeer_), buffer, sizeof buffer, &got, nullptr) || got == 0)
      return std::nullopt;
    pending_.append(buffer, got);
  }
}

void PeerProcess::kill() {
  if (process_ == -1) return;
  TerminateProcess(handleOf(process_), 137);
  WaitForSingleObject(handleOf(process_), INFINITE);
  CloseHandle(handleOf(process_));
  process_ = -1;
}

int PeerProcess::waitExit(std::chrono::milliseconds deadline) {
  if (process_ == -1) return -1;
  if (WaitForSingleObject(handleOf(process_), static_cast<DWORD>(deadline.count())) != WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(handleOf(process_), &code);
  CloseHandle(handleOf(process_));
  process_ = -1;
  return static_cast<int>(code);
}

}  // namespace conformance
