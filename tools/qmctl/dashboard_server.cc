// The HTTP side of qmctl serve: routes, the action token, request checks and the command line.
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <httplib.h>

#include "platform/stop_request.h"
#include "tools/qmctl/commands.h"
#include "tools/qmctl/dashboard.h"
#include "tools/qmctl/text.h"
#include "tools/qmctl/views.h"

namespace qmctl {
namespace {

constexpr size_t kMaxBody = 4096;
constexpr const char* kTokenHeader = "X-Qmctl-Token";

std::string newToken() {
  std::random_device device;
  unsigned char bytes[16];
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
  return toHex(bytes, sizeof bytes);
}

// Compares in a time that does not depend on where the texts differ.
bool sameToken(const std::string& given, const std::string& expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
  }
  return difference == 0;
}

void answer(httplib::Response& res, int status, const nlohmann::json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why) {
  answer(res, status, {{"error", why}});
}

// A query parameter that must be there and pass `check`; answers 400 and returns false if not.
bool param(const httplib::Request& req, httplib::Response& res, const char* key, std::string& out) {
  if (req.get_param_value_count(key) != 1) {
    refuse(res, 400, std::string("give the parameter '") + key + "' once");
    return false;
  }
  out = req.get_param_value(key);
  return true;
}

bool nameParam(const httplib::Request& req, httplib::Response& res, const char* key,
               const char* what, std::string& out) {
  if (!param(req, res, key, out)) return false;
  // A long name is not echoed back.
  if (out.size() > MQ_Q_NAME_LENGTH) {
    refuse(res, 400, std::string("the ") + what + " name is longer than 48 characters");
    return false;
  }
  if (mqi::Status s = checkName(out, what); !s.ok()) {
    refuse(res, 400, s.message());
    return false;
  }
  return true;
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

class Dashboard {
 public:
  explicit Dashboard(DashboardConfig config) : config_(std::move(config)), token_(newToken()) {}

  const std::string& token() const { return token_; }

  void route(httplib::Server& server) {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(std::string(dashboardPage()), "text/html; charset=utf-8");
    });
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(store_);
      answer(res, 200, buildSnapshot(config_));
    });
    server.Get("/api/qmgrs", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(store_);
      const auto list = mqi::listQueueManagers();
      if (!list.ok()) return refuse(res, 503, list.status.message());
      nlohmann::json array = nlohmann::json::array();
      for (const auto& info : list.value) array.push_back(queueManagerJson(info));
      answer(res, 200, array);
    });
    server.Get("/api/queues", [this](const httplib::Request& req, httplib::Response& res) {
      std::string qmgr;
      if (!nameParam(req, res, "qm", "queue manager", qmgr)) return;
      std::lock_guard<std::mutex> lock(store_);
      const auto list = mqi::listQueues(qmgr);
      if (!list.ok()) return refuse(res, 404, list.status.message());
      nlohmann::json array = nlohmann::json::array();
      for (const auto& q : list.value) {
        nlohmann::json json = queueJson(q);
        json["uncommitted"] = q.uncommittedCount;
        array.push_back(std::move(json));
      }
      answer(res, 200, array);
    });
    for (const bool inhibit : {true, false}) {
      server.Post(inhibit ? "/api/inhibit" : "/api/allow",
                  [this, inhibit](const httplib::Request& req, httplib::Response& res) {
                    if (allowed(req, res)) setOperation(req, res, inhibit);
                  });
    }
    server.Post("/api/move", [this](const httplib::Request& req, httplib::Response& res) {
      if (allowed(req, res)) move(req, res);
    });
  }

 private:
  // Actions: only with --allow-actions, and only with the start-up token.
  bool allowed(const httplib::Request& req, httplib::Response& res) const {
    if (!config_.allowActions) {
      refuse(res, 403, "read-only dashboard: start qmctl serve with --allow-actions");
      return false;
    }
    if (!req.has_header(kTokenHeader)) {
      refuse(res, 401,
             std::string("the action needs the token in the ") + kTokenHeader + " header");
      return false;
    }
    if (!sameToken(req.get_header_value(kTokenHeader), token_)) {
      refuse(res, 401, "wrong token");
      return false;
    }
    return true;
  }

  void setOperation(const httplib::Request& req, httplib::Response& res, bool inhibit) {
    std::string qmgr, queue, op;
    if (!nameParam(req, res, "qm", "queue manager", qmgr) ||
        !nameParam(req, res, "queue", "queue", queue) || !param(req, res, "op", op)) {
      return;
    }
    if (op != "get" && op != "put") return refuse(res, 400, "op must be get or put");
    std::lock_guard<std::mutex> lock(store_);
    const mqi::Status s = setInhibit(qmgr, queue, {op}, inhibit, [](const std::string&) {});
    if (!s.ok()) return refuse(res, 409, s.message());
    answer(res, 200, {{"qmgr", qmgr}, {"queue", queue}, {op, inhibit ? "inhibited" : "allowed"}});
  }

  void move(const httplib::Request& req, httplib::Response& res) {
    std::string qmgr, queue, hex;
    if (!nameParam(req, res, "qm", "queue manager", qmgr) ||
        !nameParam(req, res, "queue", "queue", queue) || !param(req, res, "msgid", hex)) {
      return;
    }
    MQBYTE24 msgId;
    if (mqi::Status s = parseIdentifier(hex, msgId); !s.ok()) return refuse(res, 400, s.message());
    std::string to;
    if (contains(config_.deferredQueues, queue)) to = config_.deliveryQueue;
    if (contains(config_.deadQueues, queue)) to = config_.receiverQueue;
    if (to.empty()) {
      return refuse(res, 400,
                    "queue " + queue +
                        " is not a deferred or dead-letter queue with a way back "
                        "(--delivery-queue, --receiver-queue)");
    }
    std::lock_guard<std::mutex> lock(store_);
    const auto moved = moveGroup(qmgr, queue, to, msgId);
    if (!moved.ok()) return refuse(res, 409, moved.status.message());
    answer(res, 200, {{"qmgr", qmgr}, {"from", queue}, {"to", to}, {"messages", moved.value}});
  }

  DashboardConfig config_;
  std::string token_;
  std::mutex store_;  // one call on the store at a time
};

std::string errorText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "no such page";
    case 413:
      return "request too large";
    case 414:
      return "request line too long";
    default:
      return "request refused (HTTP " + std::to_string(status) + ")";
  }
}

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host == "[::1]" || host.rfind("127.", 0) == 0;
}

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "[::1]".
std::string hostPart(const std::string& header) {
  const size_t colon = header.rfind(':');
  if (colon == std::string::npos || header.find(']', colon) != std::string::npos) return header;
  return header.substr(0, colon);
}

void limit(httplib::Server& server, bool loopback) {
  // A server on loopback answers only requests addressed to loopback: a web page elsewhere
  // cannot read it by pointing a host name of its own at 127.0.0.1.
  if (loopback) {
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      if (isLoopback(hostPart(req.get_header_value("Host")))) {
        return httplib::Server::HandlerResponse::Unhandled;
      }
      refuse(res, 403, "the Host header must name a loopback address");
      return httplib::Server::HandlerResponse::Handled;
    });
  }
  server.set_payload_max_length(kMaxBody);
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_keep_alive_max_count(100);
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    answer(res, res.status, {{"error", errorText(res.status)}});
  });
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { refuse(res, 500, "internal error"); });
}

// "HOST:PORT" or "PORT".
bool parseListen(const std::string& text, DashboardConfig& config) {
  const size_t colon = text.rfind(':');
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos) config.host = text.substr(0, colon);
  if (config.host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  config.port = std::stoi(port);
  return config.port <= 65535;
}

}  // namespace

int serveDashboard(const DashboardConfig& config) {
  // Before the server's threads start; a browser that goes away in the middle of an answer
  // must not end the server.
  platform::holdStopRequests();

  Dashboard dashboard(config);
  httplib::Server server;
  limit(server, isLoopback(config.host));
  dashboard.route(server);
  const int port = config.port == 0
                       ? server.bind_to_any_port(config.host)
                       : (server.bind_to_port(config.host, config.port) ? config.port : -1);
  if (port < 0) {
    return report("cannot listen on " + config.host + ":" + std::to_string(config.port),
                  kExitFailed);
  }
  if (!isLoopback(config.host)) {
    std::cerr << "qmctl: warning: listening on " << config.host
              << ", not on loopback: anyone who reaches it sees the queues\n";
  }
  const std::string url = "http://" + config.host + ":" + std::to_string(port) + "/";
  std::cout << "dashboard at " << url << '\n';
  if (config.allowActions) {
    std::cout << "actions allowed with token " << dashboard.token() << " (open " << url
              << "#token=" << dashboard.token() << ")\n";
  } else {
    std::cout << "read-only (start with --allow-actions for the buttons)\n";
  }
  std::cout.flush();
  std::thread listener([&server] { server.listen_after_bind(); });
  platform::waitForStopRequest();
  server.stop();
  listener.join();
  return kExitOk;
}

void addServeCommand(CLI::App& app, int& exitCode) {
  auto config = std::make_shared<DashboardConfig>();
  auto listen = std::make_shared<std::string>("127.0.0.1:8080");
  CLI::App* cmd = app.add_subcommand(
      "serve", "Serve the live web dashboard of queue managers, queues and transfers");
  cmd->add_option("QM", config->qmgrs, "queue managers to show (default: all of the store)")
      ->check(nameCheck("queue manager"));
  cmd->add_option("--listen", *listen,
                  "HOST:PORT to listen on (default 127.0.0.1:8080; port 0: any)");
  cmd->add_option("--reply-queue", config->replyQueues,
                  "reply queue whose status records are shown (browsed, never removed)")
      ->check(nameCheck("queue"));
  cmd->add_option("--deferred-queue", config->deferredQueues, "qdrop's deferred queue")
      ->check(nameCheck("queue"));
  cmd->add_option("--dead-queue", config->deadQueues, "qroute's dead-letter queue")
      ->check(nameCheck("queue"));
  cmd->add_option("--delivery-queue", config->deliveryQueue,
                  "where a deferred group is moved back to (qdrop's input queue)")
      ->check(nameCheck("queue"));
  cmd->add_option("--receiver-queue", config->receiverQueue,
                  "where a dead-lettered group is moved back to (qroute's input queue)")
      ->check(nameCheck("queue"));
  cmd->add_flag("--allow-actions", config->allowActions,
                "offer inhibit, allow and move buttons, each checked against the printed token");
  cmd->callback([config, listen, &exitCode] {
    if (!parseListen(*listen, *config)) {
      exitCode = report("--listen: expected HOST:PORT, got '" + *listen + "'", kExitUsage);
      return;
    }
    exitCode = serveDashboard(*config);
  });
}

}  // namespace qmctl
