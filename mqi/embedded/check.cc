// The check of an embedded queue manager's store: SQLite's own integrity check, then whether
// the rows, payloads, counts and shared file agree with each other.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/payload_files.h"
#include "mqi/embedded/sqlite_util.h"

namespace mqi::embedded {
namespace {

namespace fs = std::filesystem;
using sqlite::Stmt;
using sqlite::Use;

constexpr int kIntegrityLinesShown = 20;

struct CountCheck {
  const char* what;  // as "<n> <what>"
  const char* sql;   // one count
};

// Within one read transaction, so that live connections do not make the counts disagree.
const CountCheck kCountChecks[] = {
    {"messages whose payload row is missing",
     "SELECT count(*) FROM messages m WHERE file_id=0 AND NOT EXISTS"
     " (SELECT 1 FROM payloads p WHERE p.id=m.id)"},
    {"payload rows without a message",
     "SELECT count(*) FROM payloads p WHERE NOT EXISTS (SELECT 1 FROM messages m WHERE"
     " m.id=p.id)"},
    {"messages in payload files that are not listed",
     "SELECT count(*) FROM messages WHERE file_id<>0 AND file_id NOT IN"
     " (SELECT id FROM payload_files)"},
    {"messages of queues that do not exist",
     "SELECT count(*) FROM messages WHERE queue_id NOT IN (SELECT id FROM queues)"},
    {"messages held by connections that are not listed",
     "SELECT count(*) FROM messages WHERE state<>0 AND (state-1)/2 NOT IN"
     " (SELECT id FROM connections)"},
    {"open handles of connections that are not listed",
     "SELECT count(*) FROM handles WHERE connection_id NOT IN (SELECT id FROM connections)"},
    // The depth counts committed messages and written puts of open units of work (odd states).
    {"queues whose depth differs from their messages",
     "SELECT count(*) FROM queues q WHERE depth <> (SELECT count(*) FROM messages m WHERE"
     " m.queue_id=q.id AND (m.state=0 OR m.state%2=1))"},
};

// Returns false (with the error in report) when the statement itself fails.
bool integrity(sqlite3* db, CheckReport& report) {
  report.checks.push_back("database integrity (SQLite integrity_check)");
  Stmt stmt;
  if (!stmt.prepare(db, "PRAGMA integrity_check")) {
    report.problems.push_back(std::string("database: ") + sqlite3_errmsg(db));
    return false;
  }
  Use use(stmt);
  int lines = 0;
  int rc;
  while ((rc = use.step()) == SQLITE_ROW) {
    std::string line = use.text(0);
    if (line == "ok") continue;
    if (++lines <= kIntegrityLinesShown) report.problems.push_back("database: " + line);
  }
  if (lines > kIntegrityLinesShown)
    report.problems.push_back("database: " + std::to_string(lines - kIntegrityLinesShown) +
                              " more problems");
  if (rc != SQLITE_DONE) report.problems.push_back(std::string("database: ") + sqlite3_errmsg(db));
  return rc == SQLITE_DONE && lines == 0;
}

void counts(sqlite3* db, CheckReport& report) {
  for (const CountCheck& c : kCountChecks) {
    report.checks.push_back(c.what);
    Stmt stmt;
    if (!stmt.prepare(db, c.sql)) {
      report.problems.push_back(std::string(c.what) + ": " + sqlite3_errmsg(db));
      continue;
    }
    Use use(stmt);
    if (!use.row()) {
      report.problems.push_back(std::string(c.what) + ": " + sqlite3_errmsg(db));
    } else if (int64_t n = use.i64(0); n != 0) {
      report.problems.push_back(std::to_string(n) + " " + c.what);
    }
  }
}

// Every extent that a message references lies within its file.
void payloadExtents(sqlite3* db, const std::string& folder, CheckReport& report) {
  report.checks.push_back("payload files hold the bytes of their messages");
  Stmt stmt;
  if (!stmt.prepare(db,
                    "SELECT file_id, max(file_offset+length), count(*) FROM messages"
                    " WHERE file_id<>0 GROUP BY file_id"))
    return;
  Use use(stmt);
  while (use.row()) {
    std::string path = payloadPath(folder, use.i64(0));
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec)
      report.problems.push_back(path + " is missing (" + std::to_string(use.i64(2)) +
                                " messages need it)");
    else if (static_cast<int64_t>(size) < use.i64(1))
      report.problems.push_back(path + " is shorter than its messages need");
  }
}

void unlistedFiles(sqlite3* db, const std::string& folder, CheckReport& report) {
  report.checks.push_back("payload files without rows");
  std::error_code ec;
  fs::directory_iterator it(payloadFolder(folder), ec);
  if (ec) return;
  Stmt listed;
  if (!listed.prepare(db, "SELECT 1 FROM payload_files WHERE id=?1")) return;
  int64_t unlisted = 0;
  for (const fs::directory_entry& entry : it) {
    std::string stem = entry.path().stem().string();
    char* end = nullptr;
    int64_t id = std::strtoll(stem.c_str(), &end, 10);
    if (entry.path().extension() != ".pay" || end == stem.c_str() || *end != '\0') continue;
    Use use(listed);
    use.bind(1, id);
    if (use.step() == SQLITE_DONE) ++unlisted;
  }
  if (unlisted != 0)
    report.problems.push_back(std::to_string(unlisted) +
                              " payload files that no row lists (space only: nothing reads them)");
}

// Slots of live connections and the database's rows of connections agree.
void sharedFile(sqlite3* db, SharedMap& shared, platform::LockFile& locks, CheckReport& report) {
  report.checks.push_back("shared file contents and connection slots");
  std::string wrong = sharedAreaProblem(*shared.area());
  if (!wrong.empty()) report.problems.push_back(shared.folder() + "/shared: " + wrong);
  Stmt listed;
  if (!listed.prepare(db, "SELECT 1 FROM connections WHERE id=?1")) return;
  const SharedArea& area = *shared.area();
  uint32_t high = std::min(area.highSlot.load(), kSlots);
  for (uint32_t i = 0; i < high; ++i) {
    int64_t id = area.slots[i].connectionId.load();
    if (id == 0 || !locks.isHeldElsewhere(i)) continue;
    Use use(listed);
    use.bind(1, id);
    if (use.step() == SQLITE_DONE)
      report.problems.push_back("slot " + std::to_string(i) + " holds connection " +
                                std::to_string(id) + ", which the database does not list");
  }
}

}  // namespace

CheckReport checkStore(sqlite3* db, SharedMap& shared, platform::LockFile& locks) {
  CheckReport report;
  sqlite::exec(db, "BEGIN");
  // Damaged pages make the other counts meaningless (or fail): they wait for a sound database.
  if (integrity(db, report)) {
    counts(db, report);
    payloadExtents(db, shared.folder(), report);
    unlistedFiles(db, shared.folder(), report);
    sharedFile(db, shared, locks, report);
  }
  sqlite::exec(db, "COMMIT");
  return report;
}

}  // namespace mqi::embedded
