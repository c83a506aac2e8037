// Session commands: sessions (who is connected, and what their units of work hold) and
// end-session (end one as if its process had died).
#include <ctime>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "tools/qmctl/commands.h"
#include "tools/qmctl/text.h"

namespace qmctl {
namespace {

// Local time as "YYYY-MM-DD HH:MM:SS"; "-" when not known.
std::string localTime(int64_t secondsSince1970) {
  if (secondsSince1970 <= 0) return "-";
  const auto seconds = static_cast<std::time_t>(secondsSince1970);
  // One thread: the shared result of localtime is safe here.
  const std::tm* local = std::localtime(&seconds);
  char text[32];
  if (local == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local) == 0)
    return "-";
  return text;
}

// "1.2 s ago", or "-" for a store without leases.
std::string renewalText(int64_t agoMs) {
  if (agoMs < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s ago", static_cast<double>(agoMs) / 1000.0);
  return text;
}

int runSessions(const std::string& qmgr, bool json) {
  const auto sessions = mqi::listSessions(qmgr);
  if (!sessions.ok()) return fail(sessions.status);
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const mqi::SessionInfo& s : sessions.value) {
      array.push_back({{"id", s.id},
                       {"machine", s.machine},
                       {"pid", s.processId},
                       {"program", s.program},
                       {"started", s.startedAt},
                       {"held_messages", s.heldMessages},
                       {"renewed_ms_ago", s.renewedAgoMs < 0 ? nlohmann::json(nullptr)
                                                             : nlohmann::json(s.renewedAgoMs)}});
    }
    std::cout << array.dump(2) << '\n';
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"ID", "MACHINE", "PID", "PROGRAM", "SINCE", "HELD", "RENEWED"}};
  for (const mqi::SessionInfo& s : sessions.value) {
    rows.push_back({std::to_string(s.id), s.machine, std::to_string(s.processId),
                    s.program.empty() ? "-" : s.program, localTime(s.startedAt),
                    std::to_string(s.heldMessages), renewalText(s.renewedAgoMs)});
  }
  writeTable(std::cout, rows);
  return kExitOk;
}

int runEndSession(const std::string& qmgr, int64_t id) {
  const auto ended = mqi::endSession(qmgr, id);
  if (!ended.ok()) return fail(ended.status);
  const std::string session = "session " + std::to_string(id) + " of queue manager " + qmgr;
  if (ended.value == mqi::SessionEnd::kAtNextCall) {
    std::cout << session
              << " ended: its process backs out its work at its next MQ call, which fails"
                 " with 2009\n";
  } else {
    std::cout << session << " ended: its work is backed out\n";
  }
  return kExitOk;
}

}  // namespace

void addSessionCommands(CLI::App& app, int& exitCode) {
  auto qmgr = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto id = std::make_shared<int64_t>(0);

  CLI::App* sessions = app.add_subcommand(
      "sessions", "List the sessions (connections) of a queue manager and what they hold");
  sessions->add_option("QM", *qmgr, "queue manager name")
      ->required()
      ->check(nameCheck("queue manager"));
  sessions->add_flag("--json", *json, "print a JSON array");
  sessions->callback([qmgr, json, &exitCode] { exitCode = runSessions(*qmgr, *json); });

  CLI::App* end = app.add_subcommand(
      "end-session",
      "End a session as if its process had died: its unit of work is backed out and its next"
      " call fails with 2009");
  end->add_option("QM", *qmgr, "queue manager name")->required()->check(nameCheck("queue manager"));
  end->add_option("ID", *id, "the session's ID, as 'qmctl sessions' shows it")
      ->required()
      ->check(CLI::PositiveNumber);
  end->callback([qmgr, id, &exitCode] { exitCode = runEndSession(*qmgr, *id); });
}

}  // namespace qmctl
