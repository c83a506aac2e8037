// Pieces of the embedded store shared by administration and sessions: paths, the shared area,
// the schema, and backing out the work of connections that are gone.
#include <unistd.h>

#include <map>
#include <vector>

#include "mqi/embedded.h"
#include "mqi/sqlite_util.h"

namespace mqi::embedded {

std::shared_ptr<SharedMap> SharedMap::open(const std::string& folder) {
  void* address = platform::mapSharedFile(folder + "/shared", sizeof(SharedArea));
  if (address == nullptr) return nullptr;
  auto map = std::make_shared<SharedMap>();
  map->area_ = static_cast<SharedArea*>(address);
  return map;
}

void SharedMap::wakeQueue(int64_t queueId) {
  uint32_t w = wordFor(queueId);
  area_->wake[w].fetch_add(1);
  if (area_->waiters[w].load() != 0) platform::wakeWord(&area_->wake[w]);
}

void SharedMap::wakeAll() {
  for (uint32_t w = 0; w < kWakeWords; ++w) {
    area_->wake[w].fetch_add(1);
    platform::wakeWord(&area_->wake[w]);
  }
}

// Queue manager names may hold '/' and '%'; both are escaped so that a name is one folder,
// and so is a leading '.' (no name may become "." or "..").
std::string folderFor(const std::string& dataFolder, const std::string& qmgr) {
  std::string out = dataFolder + "/";
  for (size_t i = 0; i < qmgr.size(); ++i) {
    char c = qmgr[i];
    if (c == '/' || c == '%' || (c == '.' && i == 0)) {
      static const char hex[] = "0123456789ABCDEF";
      out += '%';
      out += hex[(c >> 4) & 0xf];
      out += hex[c & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

std::string databasePath(const std::string& qmFolder) { return qmFolder + "/qm.db"; }
std::string lockPath(const std::string& qmFolder) { return qmFolder + "/conns.lock"; }

int createSchema(sqlite3* db) {
  return sqlite::exec(
      db,
      "BEGIN;"
      "CREATE TABLE qmgr(id INTEGER PRIMARY KEY CHECK(id=1), name TEXT NOT NULL,"
      " ccsid INT NOT NULL, max_uncommitted INT NOT NULL, max_msg_length INT NOT NULL,"
      " running INT NOT NULL DEFAULT 0, epoch INT NOT NULL DEFAULT 0);"
      "CREATE TABLE queues(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL,"
      " max_msg_length INT, max_depth INT, def_priority INT, def_persistence INT,"
      " def_input INT, shareability INT, delivery_seq INT, inhibit_get INT, inhibit_put INT,"
      " description TEXT, depth INT NOT NULL DEFAULT 0);"
      // state: 0 committed, 1 put by the owner's open unit of work, 2 got by it
      "CREATE TABLE messages(id INTEGER PRIMARY KEY AUTOINCREMENT, queue_id INT NOT NULL,"
      " state INT NOT NULL, owner INT NOT NULL, priority INT NOT NULL, msg_id BLOB,"
      " correl_id BLOB, backout INT NOT NULL DEFAULT 0, persistent INT NOT NULL,"
      " expires INT NOT NULL, length INT NOT NULL, md BLOB NOT NULL);"
      "CREATE INDEX messages_order ON messages(queue_id, state, priority DESC, id);"
      "CREATE INDEX messages_ids ON messages(queue_id, correl_id, msg_id);"
      "CREATE INDEX messages_owner ON messages(owner) WHERE owner<>0;"
      "CREATE TABLE payloads(id INTEGER PRIMARY KEY, data BLOB NOT NULL);"
      "CREATE TABLE connections(id INTEGER PRIMARY KEY AUTOINCREMENT, slot INT, pid INT);"
      "CREATE TABLE handles(id INTEGER PRIMARY KEY, connection_id INT NOT NULL,"
      " queue_id INT NOT NULL, input INT NOT NULL, output INT NOT NULL);"
      "COMMIT;");
}

namespace {

struct Change {
  int64_t queueId;
  int64_t returned;  // gets given back
  int64_t dropped;   // puts that vanish
};

int runSql(sqlite3* db, const char* sql, int64_t arg) {
  sqlite::Stmt stmt;
  if (!stmt.prepare(db, sql)) return sqlite3_errcode(db);
  sqlite::Use use(stmt);
  use.bind(1, arg);
  int rc = use.run();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int backoutRows(sqlite3* db, int64_t connectionId, std::vector<Change>& changes) {
  sqlite::Stmt count;
  if (!count.prepare(db,
                     "SELECT queue_id, sum(state=2), sum(state=1) FROM messages"
                     " WHERE owner<>0 AND owner=?1 GROUP BY queue_id"))
    return sqlite3_errcode(db);
  {
    sqlite::Use use(count);
    use.bind(1, connectionId);
    while (use.row()) changes.push_back({use.i64(0), use.i64(1), use.i64(2)});
  }
  sqlite::Stmt depth;
  if (!depth.prepare(db, "UPDATE queues SET depth=max(0, depth+?1-?2) WHERE id=?3"))
    return sqlite3_errcode(db);
  for (const Change& c : changes) {
    sqlite::Use use(depth);
    use.bind(1, c.returned).bind(2, c.dropped).bind(3, c.queueId);
    if (use.run() != SQLITE_DONE) return sqlite3_errcode(db);
  }
  int rc = runSql(db,
                  "DELETE FROM payloads WHERE id IN"
                  " (SELECT id FROM messages WHERE owner<>0 AND owner=?1 AND state=1)",
                  connectionId);
  if (rc == SQLITE_OK)
    rc = runSql(db, "DELETE FROM messages WHERE owner<>0 AND owner=?1 AND state=1", connectionId);
  if (rc == SQLITE_OK)
    rc = runSql(db,
                "UPDATE messages SET state=0, owner=0, backout=backout+1"
                " WHERE owner<>0 AND owner=?1 AND state=2",
                connectionId);
  return rc;
}

}  // namespace

int backoutConnection(sqlite3* db, SharedMap& shared, int64_t connectionId, bool forget) {
  int rc = sqlite::exec(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  std::vector<Change> changes;
  rc = backoutRows(db, connectionId, changes);
  if (rc == SQLITE_OK && forget) {
    rc = runSql(db, "DELETE FROM handles WHERE connection_id=?1", connectionId);
    if (rc == SQLITE_OK) rc = runSql(db, "DELETE FROM connections WHERE id=?1", connectionId);
  }
  if (rc == SQLITE_OK) rc = sqlite::exec(db, "COMMIT");
  if (rc != SQLITE_OK) {
    sqlite::exec(db, "ROLLBACK");
    return rc;
  }
  for (const Change& c : changes)
    if (c.returned > 0) shared.wakeQueue(c.queueId);
  return SQLITE_OK;
}

void reapDeadConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks,
                         uint32_t ownSlot) {
  SharedArea* area = shared.area();
  uint32_t high = std::min(area->highSlot.load(), kSlots);
  for (uint32_t i = 0; i < high; ++i) {
    if (i == ownSlot) continue;
    int64_t id = area->slots[i].connectionId.load();
    if (id == 0 || locks.isHeldElsewhere(i)) continue;
    // Nobody holds the slot's lock: its process is gone. Anyone may back it out; doing it
    // twice is harmless because the second finds no rows.
    if (backoutConnection(db, shared, id, true) == SQLITE_OK)
      area->slots[i].connectionId.compare_exchange_strong(id, 0);
  }
}

}  // namespace mqi::embedded
