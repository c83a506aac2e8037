// `qmctl serve` run by a test, and a small HTTP/1.1 client over a loopback socket that sends
// exactly the bytes a test gives, malformed ones included. Only 127.0.0.1 is ever reached.
#ifndef QT_TESTS_SUPPORT_DASHBOARD_H
#define QT_TESTS_SUPPORT_DASHBOARD_H

#include <memory>
#include <string>
#include <vector>

#include "tests/support/program.h"

namespace testsupport {

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string body;
};

// Sends `request` as it is to 127.0.0.1:port and reads the answer until the server closes.
HttpReply httpExchange(int port, const std::string& request);
// GET or POST of `target` with Connection: close and the given extra header lines.
HttpReply httpRequest(int port, const std::string& method, const std::string& target,
                      const std::vector<std::string>& headers = {});

// qmctl serve on 127.0.0.1 and a free port, with `args` after "serve"; its console goes to
// `console`. The constructor waits for the start-up lines (port() is 0 when none came).
class Dashboard {
 public:
  Dashboard(const std::string& qmctlPath, const std::vector<std::string>& args,
            const std::string& console);
  ~Dashboard();
  int port() const { return port_; }
  const std::string& token() const { return token_; }  // "" without --allow-actions
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  Program& program() { return *program_; }

 private:
  std::unique_ptr<Program> program_;
  int port_ = 0;
  std::string token_;
};

}  // namespace testsupport

#endif  // QT_TESTS_SUPPORT_DASHBOARD_H
