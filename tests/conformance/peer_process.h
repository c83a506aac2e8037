// The test's side of the peer program (peer.cc): starts it as a child process, sends it
// commands and reads its answers with a deadline, and can kill it (SIGKILL, TerminateProcess).
#ifndef QT_TESTS_CONFORMANCE_PEER_PROCESS_H
#define QT_TESTS_CONFORMANCE_PEER_PROCESS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace conformance {

// One answer line of the peer: "<cc> <rc> key=value ...".
struct PeerReply {
  bool received = false;  // false: no answer before the deadline (or the peer is gone)
  int cc = -99;
  int rc = -99;
  std::map<std::string, std::string> fields;
  std::string line;

  std::string field(const std::string& key) const;
  long long number(const std::string& key) const;
  std::string data() const;  // the data= field decoded from hex
  std::chrono::steady_clock::time_point time() const;  // the t= field
};

class PeerProcess {
 public:
  // Starts the peer with the test's environment plus `extraEnvironment` ("NAME=value").
  explicit PeerProcess(const std::vector<std::string>& extraEnvironment = {});
  ~PeerProcess();  // ends the peer (end of input, then SIGKILL if it lingers) and reaps it
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Sends one command and waits for its answer.
  PeerReply call(const std::string& command,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20));
  void send(const std::string& command);
  // The next line the peer writes, or nothing when the deadline passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds deadline);
  PeerReply readReply(std::chrono::milliseconds deadline);
  // Sends a get that waits and returns once the peer says it is about to start the call.
  bool startWaitingGet(const std::string& command);

  void kill();     // kills the process at once, then reaps it
  int waitExit(std::chrono::milliseconds deadline);  // exit status, -1 when still running

 private:
  // The first whole line of what the peer wrote so far, without its line end.
  std::optional<std::string> takePendingLine();

  intptr_t process_ = -1;   // a process id, or a Windows process handle
  intptr_t toPeer_ = -1;    // descriptors, or Windows pipe handles
  intptr_t fromPeer_ = -1;
  std::string pending_;
};

// Hex text of a byte string, as the peer's commands take it.
std::string hexOf(const std::string& bytes);
PeerReply parseReply(const std::string& line);

}  // namespace conformance

#endif  // QT_TESTS_CONFORMANCE_PEER_PROCESS_H
