#include "tests/support/dashboard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <regex>

#include "tests/support/test_data.h"

namespace testsupport {

namespace {

// True once the head and as many body bytes as its Content-Length are in: a server may keep
// the connection open after answering a bad request.
bool complete(const std::string& answer) {
  const size_t headEnd = answer.find("\r\n\r\n");
  if (headEnd == std::string::npos) return false;
  std::smatch match;
  const std::string head = answer.substr(0, headEnd);
  if (!std::regex_search(head, match, std::regex("Content-Length: *(\\d+)", std::regex::icase))) {
    return false;
  }
  return answer.size() >= headEnd + 4 + std::stoul(match[1]);
}

}  // namespace

HttpReply httpExchange(int port, const std::string& request) {
  HttpReply reply;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    // A server may answer and close before it read everything: a failed send is not an error.
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[8192];
    for (ssize_t n; !complete(answer) && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      answer.append(buffer, n);
    }
  }
  close(fd);
  std::smatch match;
  if (std::regex_search(answer, match, std::regex("^HTTP/1\\.[01] (\\d{3})"))) {
    reply.status = std::stoi(match[1]);
  }
  const size_t bodyStart = answer.find("\r\n\r\n");
  if (bodyStart != std::string::npos) reply.body = answer.substr(bodyStart + 4);
  return reply;
}

HttpReply httpRequest(int port, const std::string& method, const std::string& target,
                      const std::vector<std::string>& headers) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const std::string& header : headers) request += header + "\r\n";
  if (method == "POST") request += "Content-Length: 0\r\n";
  request += "Connection: close\r\n\r\n";
  return httpExchange(port, request);
}

Dashboard::Dashboard(const std::string& qmctlPath, const std::vector<std::string>& args,
                     const std::string& console) {
  ProgramStart start;
  start.args = {"serve", "--listen", "127.0.0.1:0"};
  start.args.insert(start.args.end(), args.begin(), args.end());
  start.out = console;
  start.err = console;
  program_ = std::make_unique<Program>(qmctlPath, start);
  const std::regex portLine("dashboard at http://127\\.0\\.0\\.1:(\\d+)/");
  const std::regex tokenLine("with token ([0-9a-f]+)");
  pollUntil(
      [&] {
        const std::string text = readFile(console);
        std::smatch match;
        if (!std::regex_search(text, match, portLine)) return !program_->running();
        port_ = std::stoi(match[1]);
        if (std::regex_search(text, match, tokenLine)) token_ = match[1];
        return true;
      },
      10000);
}

Dashboard::~Dashboard() {
  if (program_->running()) program_->signal(SIGTERM);
  program_->waitExit(5000);
}

}  // namespace testsupport
