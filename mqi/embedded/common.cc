// Pieces of the embedded store shared by administration and sessions: paths, the shared area,
// the schema, and backing out the work of connections that are gone.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/payload_files.h"
#include "mqi/embedded/sqlite_util.h"
#include "platform/crash.h"
#include "platform/data_file.h"
#include "platform/platform.h"

namespace mqi::embedded {

namespace {

constexpr size_t kMapsKept = 8;

struct KeptMaps {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::shared_ptr<SharedMap>>> maps;  // latest use last
};

KeptMaps& keptMaps() {
  static KeptMaps* kept = new KeptMaps;  // never destroyed: sessions may outlive statics
  return *kept;
}

}  // namespace

std::string sharedAreaProblem(const SharedArea& a) {
  if (a.magic.load() != 0 && a.magic.load() != kSharedMagic) return "it has an unknown layout";
  if (a.state.load() > kStopped || a.highSlot.load() > kSlots)
    return "its state or slot count is out of range";
  if (a.commits.flushed.load() > a.commits.written.load() ||
      a.commits.flushing.load() > a.commits.written.load())
    return "its commit counters disagree";
  // Slots at and above the high mark are never read, and a claimed slot is emptied first. Not
  // reading them keeps the pages of the 4 MiB file that nobody uses out of every process.
  for (uint32_t i = 0; i < a.highSlot.load(); ++i) {
    int64_t id = a.slots[i].connectionId.load();
    int64_t pending = a.pending[i].count.load();
    int64_t claims = a.claims[i].count.load();
    if (id < 0 || id > kMaxConnectionId || pending < 0 || pending > kMaxConnectionId ||
        claims < 0 || claims > kClaimBuckets)
      return "slot " + std::to_string(i) + " holds numbers out of range";
    for (const auto& claimed : a.claims[i].ids)
      if (claimed.load() < 0) return "slot " + std::to_string(i) + " holds a bad claim";
  }
  return {};
}

namespace {

// True when some process holds a connection slot of the queue manager in `folder`.
bool anySlotHeld(const std::string& folder) {
  platform::LockFile locks;
  if (!locks.open(lockPath(folder))) return true;  // cannot tell: assume so
  for (uint32_t i = 0; i < kSlots; ++i)
    if (locks.isHeldElsewhere(i)) return true;
  return false;
}

}  // namespace

std::shared_ptr<SharedMap> SharedMap::map(const std::string& folder, std::string* problem) {
  auto map = std::make_shared<SharedMap>();
  const std::string path = folder + "/shared";
  void* address = platform::mapSharedFile(path, sizeof(SharedArea), &map->file_);
  if (address == nullptr) {
    if (problem != nullptr) *problem = "cannot map it: " + systemErrorText();
    return nullptr;
  }
  map->area_ = static_cast<SharedArea*>(address);
  map->folder_ = folder;
  std::string wrong = sharedAreaProblem(*map->area_);
  if (!wrong.empty()) {
    if (anySlotHeld(folder)) {
      if (problem != nullptr)
        *problem = std::string(kDamaged) + " (" + wrong +
                   ") while programs are connected: stop them, then connect again to rebuild it";
      return nullptr;  // the destructor unmaps it
    }
    // Nobody uses it: everything in it can be read again from the database.
    std::memset(static_cast<void*>(map->area_), 0, sizeof(SharedArea));
  }
  if (map->area_->magic.load() != kSharedMagic) map->area_->magic.store(kSharedMagic);
  // A queue manager made before the reserve (or one whose reserve was removed by hand) gets
  // one at the next connect or put.
  std::error_code ec;
  if (!std::filesystem::exists(reservePath(folder), ec)) map->area_->reserveGone.store(1);
  return map;
}

std::shared_ptr<SharedMap> SharedMap::open(const std::string& folder, std::string* problem) {
  const std::string path = folder + "/shared";
  KeptMaps& kept = keptMaps();
  std::shared_ptr<SharedMap> found;
  {
    std::lock_guard<std::mutex> guard(kept.mutex);
    auto it = std::find_if(kept.maps.begin(), kept.maps.end(),
                           [&](const auto& entry) { return entry.first == path; });
    if (it != kept.maps.end()) {
      found = it->second;
      kept.maps.erase(it);
    }
  }
  platform::FileIdentity now;
  if (!found || !platform::identifyFile(path, &now) || !(now == found->file_)) {
    found = map(folder, problem);
    if (!found) return nullptr;
  }
  std::lock_guard<std::mutex> guard(kept.mutex);
  if (kept.maps.size() >= kMapsKept) kept.maps.erase(kept.maps.begin());
  kept.maps.emplace_back(path, found);
  return found;
}

void SharedMap::forget(const std::string& folder) {
  const std::string path = folder + "/shared";
  KeptMaps& kept = keptMaps();
  std::lock_guard<std::mutex> guard(kept.mutex);
  std::erase_if(kept.maps, [&](const auto& entry) { return entry.first == path; });
}

std::string unusableStoreText(const std::string& file, const std::string& error, int sqliteCode,
                              const std::string& qmName) {
  int primary = sqliteCode & 0xff;
  bool access = sqliteCode == 0 || primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY ||
                primary == SQLITE_PERM || primary == SQLITE_AUTH;
  std::string text =
      file + ": " + error + "; the store of queue manager " + qmName + " cannot be used: ";
  if (access)
    return text +
           "its folder and files must be readable and writable by this user (see 'qmctl check " +
           qmName + "')";
  return text + "see 'qmctl check " + qmName + "', and restore it from a backup if it is damaged";
}

std::string systemErrorText() {
  std::string text = platform::errorText(platform::recordSystemError());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string reservePath(const std::string& qmFolder) {
  return qmFolder + "/reserve";
}

bool isDiskFull(int sqliteCode) {
  return (sqliteCode & 0xff) == SQLITE_FULL;
}

bool releaseReserve(SharedMap& shared) {
  shared.area()->reserveGone.store(1);
  return platform::deleteFile(reservePath(shared.folder()).c_str());
}

// Made under another name and renamed, so that a half-made reserve is never taken for one.
// Only once as much again is free: a reserve that took the last free bytes would be released
// by the next put at once.
bool restoreReserve(SharedMap& shared) {
  const std::string path = reservePath(shared.folder());
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (platform::freeSpace(shared.folder()) < 2 * kReserveBytes) {
      shared.area()->reserveGone.store(1);
      return false;
    }
    const std::string fresh = path + ".new";
    platform::deleteFile(fresh.c_str());
    platform::DataFile file;
    bool made = file.createNew(fresh) && file.allocate(kReserveBytes);
    file.close();
    if (!made || !platform::renameFile(fresh.c_str(), path.c_str())) {
      platform::deleteFile(fresh.c_str());
      shared.area()->reserveGone.store(1);
      return false;
    }
  }
  shared.area()->reserveGone.store(0);
  return true;
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

// What the slots of live (or not yet backed out) connections hold for a queue, in `part`
// of the area (their puts in memory, or their claims).
template <typename Part>
int64_t sumForQueue(const SharedArea& area, const Part (&part)[kSlots], int64_t queueId) {
  int64_t n = 0;
  uint32_t high = std::min(area.highSlot.load(), kSlots);
  for (uint32_t i = 0; i < high; ++i)
    if (part[i].queueId.load() == queueId && area.slots[i].connectionId.load() != 0)
      n += part[i].count.load();
  return n;
}

int64_t SharedMap::pendingPuts(int64_t queueId) const {
  return sumForQueue(*area_, area_->pending, queueId);
}

namespace {

uint32_t bucketOf(int64_t messageId) {
  return static_cast<uint32_t>(static_cast<uint64_t>(messageId) * 0x9E3779B97F4A7C15ull >> 57);
}

bool contains(const Claims& claims, int64_t messageId) {
  for (uint32_t i = 0, b = bucketOf(messageId); i < kClaimBuckets;
       ++i, b = (b + 1) % kClaimBuckets) {
    int64_t id = claims.ids[b].load();
    if (id == messageId) return true;
    if (id == 0) return false;
  }
  return false;
}

}  // namespace

// Only slots of live (or not yet backed out) connections count.
bool SharedMap::claimed(int64_t messageId) const {
  uint32_t high = std::min(area_->highSlot.load(), kSlots);
  for (uint32_t i = 0; i < high; ++i)
    if (area_->claims[i].count.load() != 0 && area_->slots[i].connectionId.load() != 0 &&
        contains(area_->claims[i], messageId))
      return true;
  return false;
}

int64_t SharedMap::claimedCount(int64_t queueId) const {
  return sumForQueue(*area_, area_->claims, queueId);
}

// The id goes in before the count grows, so a reader that sees the count sees the id.
void SharedMap::claim(uint32_t slot, int64_t queueId, int64_t messageId) {
  Claims& claims = area_->claims[slot];
  claims.queueId.store(queueId);
  uint32_t b = bucketOf(messageId);
  while (claims.ids[b].load() != 0) b = (b + 1) % kClaimBuckets;
  claims.ids[b].store(messageId);
  claims.count.fetch_add(1);
}

std::vector<int64_t> SharedMap::claimsOf(uint32_t slot) const {
  std::vector<int64_t> ids;
  for (const auto& id : area_->claims[slot].ids)
    if (int64_t v = id.load(); v != 0) ids.push_back(v);
  return ids;
}

void SharedMap::dropClaims(uint32_t slot) {
  Claims& claims = area_->claims[slot];
  claims.count.store(0);
  for (auto& id : claims.ids) id.store(0);
}

namespace {

// What the claimed() of one connection reads. A connection kept between sessions keeps its
// function and is pointed at the next session's map: defining the function again would make
// the connection parse each of its kept statements again.
struct ClaimedView {
  sqlite3* db;
  std::atomic<const SharedMap*> map;
};

struct ClaimedViews {
  std::mutex mutex;
  std::map<sqlite3*, ClaimedView*> byConnection;
};

ClaimedViews& claimedViews() {
  static ClaimedViews* views = new ClaimedViews;  // never destroyed: connections may outlive it
  return *views;
}

void forgetView(void* data) {
  std::unique_ptr<ClaimedView> view(static_cast<ClaimedView*>(data));
  std::lock_guard<std::mutex> guard(claimedViews().mutex);
  auto it = claimedViews().byConnection.find(view->db);
  if (it != claimedViews().byConnection.end() && it->second == view.get())
    claimedViews().byConnection.erase(it);
}

}  // namespace

bool registerClaimed(sqlite3* db, SharedMap& shared) {
  {
    std::lock_guard<std::mutex> guard(claimedViews().mutex);
    auto it = claimedViews().byConnection.find(db);
    if (it != claimedViews().byConnection.end()) {
      it->second->map.store(&shared);
      return true;
    }
  }
  auto claimed = [](sqlite3_context* context, int, sqlite3_value** argv) {
    const auto* view = static_cast<const ClaimedView*>(sqlite3_user_data(context));
    sqlite3_result_int(context, view->map.load()->claimed(sqlite3_value_int64(argv[0])) ? 1 : 0);
  };
  auto view = std::make_unique<ClaimedView>();
  view->db = db;
  view->map.store(&shared);
  ClaimedView* handed = view.release();  // sqlite owns it now: forgetView deletes it
  {
    std::lock_guard<std::mutex> guard(claimedViews().mutex);
    claimedViews().byConnection[db] = handed;
  }
  return sqlite3_create_function_v2(db, "claimed", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, handed,
                                    claimed, nullptr, nullptr, forgetView) == SQLITE_OK;
}

void crashPoint(const char* name) {
  const char* wanted = std::getenv("QM_CRASHPOINT");
  if (wanted != nullptr && std::strcmp(wanted, name) == 0) platform::killSelf();
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

std::string databasePath(const std::string& qmFolder) {
  return qmFolder + "/qm.db";
}
std::string lockPath(const std::string& qmFolder) {
  return qmFolder + "/conns.lock";
}

const char* const kQueueInfoSql =
    "SELECT name, max_msg_length, max_depth, def_priority, def_persistence, def_input,"
    " shareability, delivery_seq, inhibit_get, inhibit_put, description, depth,"
    " (SELECT count(*) FROM handles WHERE queue_id=?1 AND input<>0),"
    " (SELECT count(*) FROM handles WHERE queue_id=?1 AND output<>0),"
    " backout_threshold, backout_queue"
    " FROM queues WHERE id=?1";

void readQueueInfo(sqlite::Use& row, QueueInfo& out) {
  out.name = row.text(0);
  out.maxMsgLength = row.i32(1);
  out.maxQDepth = row.i32(2);
  out.defPriority = row.i32(3);
  out.defPersistence = row.i32(4);
  out.defInputOpenOption = row.i32(5);
  out.shareability = row.i32(6);
  out.msgDeliverySequence = row.i32(7);
  out.inhibitGet = row.i32(8);
  out.inhibitPut = row.i32(9);
  out.description = row.text(10);
  out.currentDepth = row.i32(11);
  out.openInputCount = row.i32(12);
  out.openOutputCount = row.i32(13);
  out.backoutThreshold = row.i32(14);
  out.backoutRequeueQName = row.text(15);
}

int createSchema(sqlite3* db) {
  return sqlite::exec(
      db,
      "BEGIN;"
      "CREATE TABLE qmgr(id INTEGER PRIMARY KEY CHECK(id=1), name TEXT NOT NULL,"
      " ccsid INT NOT NULL, max_uncommitted INT NOT NULL, max_msg_length INT NOT NULL,"
      " running INT NOT NULL DEFAULT 0, epoch INT NOT NULL DEFAULT 0,"
      " dead_letter TEXT NOT NULL DEFAULT '', def_backout INT NOT NULL DEFAULT 0);"
      "CREATE TABLE queues(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL,"
      " max_msg_length INT, max_depth INT, def_priority INT, def_persistence INT,"
      " def_input INT, shareability INT, delivery_seq INT, inhibit_get INT, inhibit_put INT,"
      " description TEXT, depth INT NOT NULL DEFAULT 0,"
      " backout_threshold INT NOT NULL DEFAULT 0, backout_queue TEXT NOT NULL DEFAULT '');"
      // state: 0 committed; for the open unit of work of connection c: 2c+1 put by it, 2c+2
      // got by it. The owner sits in the state so that one index keeps a unit of work's rows
      // of a queue together: a get moves its row within that index, and needs no second one.
      "CREATE TABLE messages(id INTEGER PRIMARY KEY AUTOINCREMENT, queue_id INT NOT NULL,"
      " state INT NOT NULL, priority INT NOT NULL, msg_id BLOB, correl_id BLOB,"
      " backout INT NOT NULL DEFAULT 0, persistent INT NOT NULL, expires INT NOT NULL,"
      " length INT NOT NULL, md BLOB NOT NULL,"
      // The payload: in the payloads table when file_id is 0, else in that payload file.
      " file_id INT NOT NULL DEFAULT 0, file_offset INT NOT NULL DEFAULT 0);"
      "CREATE INDEX messages_order ON messages(queue_id, state, priority DESC, id);"
      // Only committed messages are ever matched, so a syncpoint put leaves this one alone
      // until its commit.
      "CREATE INDEX messages_ids ON messages(queue_id, correl_id, msg_id) WHERE state=0;"
      "CREATE INDEX messages_files ON messages(file_id, file_offset) WHERE file_id<>0;"
      "CREATE TABLE payloads(id INTEGER PRIMARY KEY, data BLOB NOT NULL);"
      "CREATE TABLE payload_files(id INTEGER PRIMARY KEY AUTOINCREMENT,"
      " writer INT NOT NULL DEFAULT 0);"
      "CREATE TABLE connections(id INTEGER PRIMARY KEY AUTOINCREMENT, slot INT, pid INT,"
      " program TEXT NOT NULL DEFAULT '', started INT NOT NULL DEFAULT 0);"
      "CREATE TABLE handles(id INTEGER PRIMARY KEY, connection_id INT NOT NULL,"
      " queue_id INT NOT NULL, input INT NOT NULL, output INT NOT NULL);"
      "PRAGMA user_version=2;"
      "COMMIT;");
}

int addConnectionDetails(sqlite3* db) {
  auto present = [db] {
    sqlite::Stmt probe;
    return probe.prepare(db, "SELECT program, started FROM connections LIMIT 0");
  };
  if (present()) return SQLITE_OK;
  if (int rc = sqlite::exec(db, "BEGIN IMMEDIATE"); rc != SQLITE_OK) return rc;
  int rc = SQLITE_OK;
  if (!present())  // another process may have added them meanwhile
    rc = sqlite::exec(db,
                      "ALTER TABLE connections ADD COLUMN program TEXT NOT NULL DEFAULT '';"
                      "ALTER TABLE connections ADD COLUMN started INT NOT NULL DEFAULT 0;");
  if (rc != SQLITE_OK) {
    sqlite::exec(db, "ROLLBACK");
    return rc;
  }
  return sqlite::exec(db, "COMMIT");
}

// A state compared with a bare parameter makes SQLite look at the parameter's value to see
// whether messages_ids (state=0 only) could serve, and so parse the statement again after each
// new binding; written as an expression, it is parsed once.
bool RowBatches::prepare(sqlite3* db) {
  db_ = db;
  return payloads_.prepare(db,
                           "DELETE FROM payloads WHERE id IN (SELECT id FROM messages"
                           " WHERE queue_id=?1 AND state=(?2+0) LIMIT ?3)") &&
         messages_.prepare(db,
                           "DELETE FROM messages WHERE id IN (SELECT id FROM messages"
                           " WHERE queue_id=?1 AND state=(?2+0) LIMIT ?3)") &&
         release_.prepare(db,
                          "UPDATE messages SET state=0, backout=backout+?4 WHERE id IN"
                          " (SELECT id FROM messages WHERE queue_id=?1 AND state=(?2+0)"
                          " LIMIT ?3)");
}

// Each batch is a bounded set of ids, so a unit of work of any size is finished in flat
// memory; the index gives them in id order within a priority, about the order of their
// pages in the file.
int RowBatches::remove(int64_t queueId, int64_t state, int64_t& count) {
  for (;;) {
    for (sqlite::Stmt* stmt : {&payloads_, &messages_}) {
      sqlite::Use use(*stmt);
      use.bind(1, queueId).bind(2, state).bind(3, kBatch);
      if (int rc = use.run(); rc != SQLITE_DONE) return rc;
    }
    int64_t n = sqlite3_changes(db_);
    count += n;
    if (n < kBatch) return SQLITE_OK;
  }
}

int RowBatches::release(int64_t queueId, int64_t state, int64_t backoutIncrement, int64_t& count) {
  for (;;) {
    sqlite::Use use(release_);
    use.bind(1, queueId).bind(2, state).bind(3, kBatch).bind(4, backoutIncrement);
    if (int rc = use.run(); rc != SQLITE_DONE) return rc;
    int64_t n = sqlite3_changes(db_);
    count += n;
    if (n < kBatch) return SQLITE_OK;
  }
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

int64_t countRows(sqlite3* db, int64_t queueId, int64_t state) {
  sqlite::Stmt stmt;
  if (!stmt.prepare(db, "SELECT count(*) FROM messages WHERE queue_id=?1 AND state=(?2+0)"))
    return 0;
  sqlite::Use use(stmt);
  use.bind(1, queueId).bind(2, state);
  return use.row() ? use.i64(0) : 0;
}

bool connectionListed(sqlite3* db, int64_t connectionId) {
  sqlite::Stmt stmt;
  if (!stmt.prepare(db, "SELECT 1 FROM connections WHERE id=?1")) return false;
  sqlite::Use use(stmt);
  use.bind(1, connectionId);
  return use.row();
}

int backoutRows(sqlite3* db, int64_t connectionId, std::vector<Change>& changes) {
  std::vector<int64_t> queues;
  {
    sqlite::Stmt all;
    if (!all.prepare(db, "SELECT id FROM queues")) return sqlite3_errcode(db);
    sqlite::Use use(all);
    while (use.row()) queues.push_back(use.i64(0));
  }
  RowBatches batches;
  if (!batches.prepare(db)) return sqlite3_errcode(db);
  sqlite::Stmt depth;
  if (!depth.prepare(db, "UPDATE queues SET depth=max(0, depth+?1-?2) WHERE id=?3"))
    return sqlite3_errcode(db);
  for (int64_t q : queues) {
    Change c{q, countRows(db, q, gotState(connectionId)), countRows(db, q, putState(connectionId))};
    if (c.returned == 0 && c.dropped == 0) continue;
    int64_t n = 0;
    int rc = batches.remove(q, putState(connectionId), n);
    if (rc == SQLITE_OK) rc = batches.release(q, gotState(connectionId), 1, n);
    if (rc != SQLITE_OK) return rc;
    sqlite::Use use(depth);
    use.bind(1, c.returned).bind(2, c.dropped).bind(3, q);
    if (use.run() != SQLITE_DONE) return sqlite3_errcode(db);
    changes.push_back(c);
  }
  return SQLITE_OK;
}

// Whether any queue holds rows of the connection's unit of work. Most connections end with
// none, and one look (a seek per queue) spares them the statements of the work per queue.
bool holdsRows(sqlite3* db, int64_t connectionId) {
  sqlite::Stmt stmt;
  if (!stmt.prepare(db,
                    "SELECT 1 FROM queues WHERE EXISTS (SELECT 1 FROM messages WHERE"
                    " queue_id=queues.id AND state IN (?1, ?2)) LIMIT 1"))
    return true;  // cannot tell: do the whole work
  sqlite::Use use(stmt);
  use.bind(1, putState(connectionId)).bind(2, gotState(connectionId));
  return use.step() != SQLITE_DONE;
}

}  // namespace

namespace {

int backoutOnce(sqlite3* db, SharedMap& shared, int64_t connectionId, bool forget,
                const std::vector<int64_t>& claimed) {
  int rc = sqlite::exec(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  // Claimed messages first: one already marked as held (state not 0) is counted by
  // backoutRows, which then makes it committed again. A connection that another process has
  // backed out already (its row gone) must not count its claims twice.
  if (!claimed.empty() && !connectionListed(db, connectionId)) rc = SQLITE_DONE;
  for (int64_t id : claimed)
    if (rc == SQLITE_OK)
      rc = runSql(db, "UPDATE messages SET backout=backout+1 WHERE id=?1 AND state=0", id);
  if (rc == SQLITE_DONE) rc = SQLITE_OK;
  std::vector<Change> changes;
  if (rc == SQLITE_OK && holdsRows(db, connectionId)) rc = backoutRows(db, connectionId, changes);
  if (rc == SQLITE_OK && forget) {
    rc = runSql(db, "UPDATE payload_files SET writer=0 WHERE writer=?1", connectionId);
    if (rc == SQLITE_OK)
      rc = runSql(db, "DELETE FROM handles WHERE connection_id=?1", connectionId);
    if (rc == SQLITE_OK) rc = runSql(db, "DELETE FROM connections WHERE id=?1", connectionId);
  }
  if (rc == SQLITE_OK) rc = sqlite::exec(db, "COMMIT");
  if (rc != SQLITE_OK) {
    sqlite::exec(db, "ROLLBACK");
    return rc;
  }
  bool dropped = false;
  for (const Change& c : changes) {
    if (c.returned > 0) shared.wakeQueue(c.queueId);
    dropped = dropped || c.dropped > 0;
  }
  // Dropped puts, or a sealed file of the connection, may leave files nothing references.
  if (dropped || forget) sweepPayloadFiles(db, shared.folder());
  return SQLITE_OK;
}

}  // namespace

int backoutConnection(sqlite3* db, SharedMap& shared, int64_t connectionId, bool forget,
                      const std::vector<int64_t>& claimed) {
  int rc = backoutOnce(db, shared, connectionId, forget, claimed);
  if (isDiskFull(rc) && releaseReserve(shared))
    rc = backoutOnce(db, shared, connectionId, forget, claimed);
  return rc;
}

// The claims and held puts of the slot stay as they are: readers ignore them once the slot's
// connection id is 0, and the next owner of the slot empties them before it takes it.
int backoutSlot(sqlite3* db, SharedMap& shared, uint32_t slot, int64_t connectionId) {
  std::vector<int64_t> claimed = shared.claimsOf(slot);
  int rc = backoutConnection(db, shared, connectionId, true, claimed);
  if (rc != SQLITE_OK) return rc;
  if (!claimed.empty()) shared.wakeQueue(shared.area()->claims[slot].queueId.load());
  return SQLITE_OK;
}

bool reapDeadConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks,
                         uint32_t ownSlot) {
  SharedArea* area = shared.area();
  uint32_t high = std::min(area->highSlot.load(), kSlots);
  bool found = false;
  for (uint32_t i = 0; i < high; ++i) {
    if (i == ownSlot) continue;
    int64_t id = area->slots[i].connectionId.load();
    if (id == 0 || locks.isHeldElsewhere(i)) continue;
    // Nobody holds the slot's lock: its process is gone. Anyone may back it out; doing it
    // twice is harmless because the second finds no rows.
    found = true;
    if (backoutSlot(db, shared, i, id) == SQLITE_OK)
      area->slots[i].connectionId.compare_exchange_strong(id, 0);
  }
  return found;
}

// A row whose slot now holds a later connection (ids only grow) is left over; so is one whose
// slot holds an earlier id or none while nobody holds the slot's lock (a connection being made
// holds the lock before its row exists, and fills the slot right after).
void reapOrphanedConnections(sqlite3* db, SharedMap& shared, platform::LockFile& locks) {
  std::vector<int64_t> orphans;
  {
    sqlite::Stmt stmt;
    if (!stmt.prepare(db, "SELECT id, slot FROM connections")) return;
    sqlite::Use use(stmt);
    while (use.row()) {
      int64_t id = use.i64(0);
      int64_t slot = use.i64(1);
      if (slot < 0 || slot >= kSlots) {
        orphans.push_back(id);
        continue;
      }
      int64_t holder = shared.area()->slots[slot].connectionId.load();
      if (holder == id) continue;
      if (holder > id || !locks.isHeldElsewhere(static_cast<uint32_t>(slot))) orphans.push_back(id);
    }
  }
  for (int64_t id : orphans) backoutConnection(db, shared, id, true);
}

}  // namespace mqi::embedded
