#include "mqi/embedded/payload_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "mqi/embedded/embedded.h"
#include "mqi/embedded/file_remover.h"
#include "mqi/embedded/sqlite_util.h"
#include "mqi/mqi.h"

namespace mqi::embedded {
namespace {

namespace fs = std::filesystem;
using sqlite::Stmt;
using sqlite::Use;

bool isOutOfSpace(int code) {
#ifdef EDQUOT  // a user's quota, where the C library knows quotas
  if (code == EDQUOT) return true;
#endif
  return code == ENOSPC;
}

int32_t reasonForErrno(int code) {
  return isOutOfSpace(code) ? MQRC_Q_SPACE_NOT_AVAILABLE : MQRC_RESOURCE_PROBLEM;
}

// A new file that cannot be listed for lack of space fails the put as a full disk does.
int32_t rollFailed(int sqliteCode) {
  return isDiskFull(sqliteCode) ? MQRC_Q_SPACE_NOT_AVAILABLE : sqlite::reasonFor(sqliteCode);
}

int userVersion(sqlite3* db) {
  Stmt q;
  if (!q.prepare(db, "PRAGMA user_version")) return -1;
  Use use(q);
  return use.row() ? use.i32(0) : -1;
}

// Runs one statement with up to two integer arguments; returns an sqlite3 code.
int runWith(sqlite3* db, const char* sql, int64_t a, int64_t b = 0) {
  Stmt stmt;
  if (!stmt.prepare(db, sql)) return sqlite3_errcode(db);
  Use use(stmt);
  use.bind(1, a).bind(2, b);
  int rc = use.run();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::vector<int64_t> idsOf(sqlite3* db, const char* sql) {
  std::vector<int64_t> ids;
  Stmt q;
  if (!q.prepare(db, sql)) return ids;
  Use use(q);
  while (use.row()) ids.push_back(use.i64(0));
  return ids;
}

const char* const kUnreferencedSealed =
    "SELECT id FROM payload_files WHERE writer=0 AND NOT EXISTS"
    " (SELECT 1 FROM messages WHERE file_id=payload_files.id AND file_id<>0)";

}  // namespace

std::string payloadFolder(const std::string& qmFolder) {
  return qmFolder + "/payloads";
}

std::string payloadPath(const std::string& qmFolder, int64_t fileId) {
  return payloadFolder(qmFolder) + "/" + std::to_string(fileId) + ".pay";
}

// The steps from each earlier layout to the next; user_version is set after the last.
const char* const kUpgradeSteps[kSchemaVersion] = {
    "ALTER TABLE messages ADD COLUMN file_id INT NOT NULL DEFAULT 0;"
    "ALTER TABLE messages ADD COLUMN file_offset INT NOT NULL DEFAULT 0;"
    "CREATE TABLE payload_files(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " writer INT NOT NULL DEFAULT 0);"
    "CREATE INDEX messages_files ON messages(file_id, file_offset) WHERE file_id<>0;",
    "ALTER TABLE queues ADD COLUMN backout_threshold INT NOT NULL DEFAULT 0;"
    "ALTER TABLE queues ADD COLUMN backout_queue TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE qmgr ADD COLUMN dead_letter TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE qmgr ADD COLUMN def_backout INT NOT NULL DEFAULT 0;",
};

int upgradeSchema(sqlite3* db) {
  // A connection kept from an earlier session may hold the schema as it was then: a read of a
  // table makes it look again.
  sqlite::exec(db, "SELECT 1 FROM messages LIMIT 0");
  int version = userVersion(db);
  if (version == kSchemaVersion) return addConnectionDetails(db);
  if (version > kSchemaVersion) return SQLITE_CANTOPEN;
  if (int rc = sqlite::exec(db, "BEGIN IMMEDIATE"); rc != SQLITE_OK) return rc;
  // another process may have upgraded it meanwhile
  version = userVersion(db);
  int rc = version < 0 || version > kSchemaVersion ? SQLITE_CANTOPEN : SQLITE_OK;
  for (int v = version; rc == SQLITE_OK && v < kSchemaVersion; ++v)
    rc = sqlite::exec(db, kUpgradeSteps[v]);
  if (rc == SQLITE_OK)
    rc = sqlite::exec(db, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  if (rc != SQLITE_OK) {
    sqlite::exec(db, "ROLLBACK");
    return rc;
  }
  if ((rc = sqlite::exec(db, "COMMIT")) != SQLITE_OK) return rc;
  return addConnectionDetails(db);
}

void PayloadWriter::bind(sqlite3* db, const std::string& qmFolder, int64_t connectionId) {
  db_ = db;
  folder_ = qmFolder;
  connectionId_ = connectionId;
}

int32_t PayloadWriter::reserve(size_t length) {
  return needsRoll(length) ? roll() : 0;
}

// The old file's bytes may belong to the open unit of work: it stays open until flush()
// syncs it.
int32_t PayloadWriter::roll() {
  if (dirty_) rolled_.push_back(std::move(file_));
  file_.close();
  dirty_ = false;
  if (sqlite::exec(db_, "BEGIN IMMEDIATE") != SQLITE_OK) return rollFailed(sqlite3_errcode(db_));
  int rc = fileId_ == 0 ? SQLITE_OK
                        : runWith(db_, "UPDATE payload_files SET writer=0 WHERE id=?1", fileId_);
  if (rc == SQLITE_OK)
    rc = runWith(db_, "INSERT INTO payload_files(writer) VALUES(?1)", connectionId_);
  int64_t id = sqlite3_last_insert_rowid(db_);
  if (rc == SQLITE_OK) rc = sqlite::exec(db_, "COMMIT");
  if (rc != SQLITE_OK) {
    sqlite::exec(db_, "ROLLBACK");
    return rollFailed(rc);
  }
  fileId_ = id;
  size_ = 0;
  writtenBack_ = 0;
  std::error_code ec;
  fs::create_directory(payloadFolder(folder_), ec);
  if (!file_.createNew(payloadPath(folder_, id))) return reasonForErrno(errno);
  folderDirty_ = true;  // the name must be durable before a committed row points into it
  return 0;
}

int32_t PayloadWriter::append(const void* data, size_t length, Extent& out) {
  if (!file_.isOpen()) return MQRC_UNEXPECTED_ERROR;
  // What part of a failed write reached the file is garbage that the next append overwrites.
  if (!file_.writeAt(size_, data, length)) return reasonForErrno(errno);
  out = Extent{fileId_, size_, static_cast<int64_t>(length)};
  size_ += static_cast<int64_t>(length);
  dirty_ = true;
  if (size_ - writtenBack_ >= kWritebackStep) {
    file_.startWriteback(writtenBack_, size_ - writtenBack_);
    writtenBack_ = size_;
  }
  return 0;
}

int32_t PayloadWriter::flush() {
  for (platform::DataFile& file : rolled_)
    if (!file.syncData()) return reasonForErrno(errno);
  rolled_.clear();
  if (dirty_ && (!file_.isOpen() || !file_.syncData())) return reasonForErrno(errno);
  dirty_ = false;
  if (folderDirty_ && !platform::syncFolder(payloadFolder(folder_))) return reasonForErrno(errno);
  folderDirty_ = false;
  return 0;
}

void PayloadWriter::sealIfLarge() {
  if (!file_.isOpen() || size_ < kSealBytes) return;
  if (runWith(db_, "UPDATE payload_files SET writer=0 WHERE id=?1", fileId_) != SQLITE_OK) return;
  file_.close();
}

bool PayloadFiles::read(int64_t fileId, int64_t offset, void* into, size_t length) {
  missing_ = false;
  if (fileId != fileId_ || !file_.isOpen()) {
    fileId_ = 0;
    if (!file_.open(payloadPath(folder_, fileId), false)) {
      missing_ = errno == ENOENT;
      return false;
    }
    fileId_ = fileId;
  }
  return file_.readAt(offset, into, length);
}

void PayloadFiles::forget() {
  file_.close();
  fileId_ = 0;
}

// The rows of a drained road leave free pages in the database, and the commit that removed
// them a long log: a database made with incremental auto-vacuum gives the pages back once
// there are more than kFreePages, and a log longer than kLogBytes is checkpointed and cut
// to nothing (the automatic checkpoints only reuse it from its start).
static void releaseSpace(sqlite3* db, const std::string& qmFolder) {
  constexpr int64_t kFreePages = 1024;
  constexpr uintmax_t kLogBytes = uintmax_t{8} << 20;
  std::vector<int64_t> free = idsOf(db, "PRAGMA freelist_count");
  if (!free.empty() && free[0] > kFreePages) sqlite::exec(db, "PRAGMA incremental_vacuum");
  std::error_code ec;
  if (fs::file_size(qmFolder + "/qm.db-wal", ec) > kLogBytes && !ec)
    sqlite::exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
}

int sweepPayloadFiles(sqlite3* db, const std::string& qmFolder) {
  if (idsOf(db, kUnreferencedSealed).empty()) return SQLITE_OK;
  if (int rc = sqlite::exec(db, "BEGIN IMMEDIATE"); rc != SQLITE_OK) return rc;
  std::vector<int64_t> ids = idsOf(db, kUnreferencedSealed);  // again, under the write lock
  int rc = SQLITE_OK;
  for (int64_t id : ids)
    if (rc == SQLITE_OK) rc = runWith(db, "DELETE FROM payload_files WHERE id=?1", id);
  if (rc == SQLITE_OK) rc = sqlite::exec(db, "COMMIT");
  if (rc != SQLITE_OK) {
    sqlite::exec(db, "ROLLBACK");
    return rc;
  }
  // Once the rows are gone nothing can point into these files again; a crash before the
  // files go leaves them unlisted, for removeUnlistedPayloadFiles.
  std::vector<std::string> paths;
  for (int64_t id : ids) paths.push_back(payloadPath(qmFolder, id));
  removeFilesLater(std::move(paths));
  releaseSpace(db, qmFolder);
  return SQLITE_OK;
}

void removeUnlistedPayloadFiles(sqlite3* db, const std::string& qmFolder) {
  std::error_code ec;
  fs::directory_iterator it(payloadFolder(qmFolder), ec);
  if (ec) return;
  Stmt listed;
  if (!listed.prepare(db, "SELECT 1 FROM payload_files WHERE id=?1")) return;
  for (const fs::directory_entry& entry : it) {
    const fs::path& path = entry.path();
    if (path.extension() != ".pay") continue;
    char* end = nullptr;
    std::string stem = path.stem().string();
    int64_t id = std::strtoll(stem.c_str(), &end, 10);
    if (end == stem.c_str() || *end != '\0') continue;
    Use use(listed);
    use.bind(1, id);
    int rc = use.step();
    if (rc == SQLITE_DONE) fs::remove(path, ec);
  }
}

namespace {

int64_t fileSize(const fs::path& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<int64_t>(size);
}

// Live bytes per listed file; an extent that several rows share counts once.
std::vector<std::pair<int64_t, int64_t>> liveBytesPerFile(sqlite3* db) {
  std::vector<std::pair<int64_t, int64_t>> out;
  Stmt q;
  if (!q.prepare(db,
                 "SELECT f.id, coalesce((SELECT sum(length) FROM (SELECT DISTINCT file_offset,"
                 " length FROM messages WHERE file_id=f.id AND file_id<>0)), 0)"
                 " FROM payload_files f WHERE f.writer=0"))
    return out;
  Use use(q);
  while (use.row()) out.emplace_back(use.i64(0), use.i64(1));
  return out;
}

// Copies the live extents of one file into a new one and moves their rows there, all in one
// transaction: the copy is synced before the rows move, and the old file goes after.
Status compactOne(sqlite3* db, const std::string& qmFolder, int64_t oldId, CompactReport& report) {
  if (sqlite::exec(db, "BEGIN IMMEDIATE") != SQLITE_OK)
    return Status::Error(sqlite3_errmsg(db), sqlite::reasonFor(sqlite3_errcode(db)));
  auto fail = [&](const std::string& what) {
    sqlite::exec(db, "ROLLBACK");
    return Status::Error("cannot compact payload file " + std::to_string(oldId) + ": " + what,
                         MQRC_RESOURCE_PROBLEM);
  };
  // A unit of work may hold a put in memory that shares an extent of a message it got (held
  // or claimed): such a file stays as it is.
  if (!idsOf(db, ("SELECT 1 FROM messages WHERE file_id=" + std::to_string(oldId) +
                  " AND file_id<>0 AND (state<>0 OR claimed(id)) LIMIT 1")
                     .c_str())
           .empty()) {
    sqlite::exec(db, "ROLLBACK");
    return Status::Ok();
  }
  if (runWith(db, "INSERT INTO payload_files(writer) VALUES(0)", 0) != SQLITE_OK)
    return fail(sqlite3_errmsg(db));
  int64_t newId = sqlite3_last_insert_rowid(db);
  platform::DataFile from, to;
  if (!from.open(payloadPath(qmFolder, oldId), false) ||
      !to.createNew(payloadPath(qmFolder, newId)))
    return fail(std::strerror(errno));
  Stmt extents, move;
  extents.prepare(
      db,
      "SELECT DISTINCT file_offset, length FROM messages WHERE file_id=?1 AND file_id<>0"
      " ORDER BY file_offset");
  move.prepare(db,
               "UPDATE messages SET file_id=?1, file_offset=?2 WHERE file_id=?3 AND"
               " file_offset=?4 AND file_id<>0");
  std::vector<std::pair<int64_t, int64_t>> moves;  // old offset, new offset
  std::vector<char> buffer;
  int64_t written = 0;
  {
    Use use(extents);
    use.bind(1, oldId);
    while (use.row()) {
      int64_t offset = use.i64(0), length = use.i64(1);
      buffer.resize(static_cast<size_t>(length));
      if (!from.readAt(offset, buffer.data(), buffer.size()) ||
          !to.writeAt(written, buffer.data(), buffer.size()))
        return fail(std::strerror(errno));
      moves.emplace_back(offset, written);
      written += length;
    }
  }
  if (!to.syncData() || !platform::syncFolder(payloadFolder(qmFolder)))
    return fail(std::strerror(errno));
  crashPoint("compact-copied");
  for (const auto& [oldOffset, newOffset] : moves) {
    Use use(move);
    use.bind(1, newId).bind(2, newOffset).bind(3, oldId).bind(4, oldOffset);
    if (use.run() != SQLITE_DONE) return fail(sqlite3_errmsg(db));
  }
  if (runWith(db, "DELETE FROM payload_files WHERE id=?1", oldId) != SQLITE_OK ||
      sqlite::exec(db, "COMMIT") != SQLITE_OK)
    return fail(sqlite3_errmsg(db));
  int64_t oldSize = from.size();
  std::error_code ec;
  fs::remove(payloadPath(qmFolder, oldId), ec);
  report.filesCompacted += 1;
  report.filesRemoved += 1;
  report.bytesCopied += written;
  report.bytesFreed += oldSize - written;
  return Status::Ok();
}

}  // namespace

Result<StoreSpace> measureSpace(sqlite3* db, const std::string& qmFolder) {
  awaitFileRemovals();  // what this process deleted is gone from the figures
  StoreSpace space;
  space.kept = true;
  space.databaseBytes = fileSize(qmFolder + "/qm.db") + fileSize(qmFolder + "/qm.db-wal");
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(payloadFolder(qmFolder), ec)) {
    if (entry.path().extension() != ".pay") continue;
    space.payloadFiles += 1;
    space.payloadBytes += fileSize(entry.path());
  }
  Stmt q;
  if (!q.prepare(db,
                 "SELECT coalesce(sum(length), 0) FROM (SELECT DISTINCT file_id, file_offset,"
                 " length FROM messages WHERE file_id<>0)"))
    return Status::Error(sqlite3_errmsg(db), sqlite::reasonFor(sqlite3_errcode(db)));
  Use use(q);
  if (use.row()) space.liveBytes = use.i64(0);
  return space;
}

Result<CompactReport> compactPayloadFiles(sqlite3* db, const std::string& qmFolder) {
  CompactReport report;
  Result<StoreSpace> before = measureSpace(db, qmFolder);
  if (!before.ok()) return before.status;
  if (int rc = sweepPayloadFiles(db, qmFolder); rc != SQLITE_OK)
    return Status::Error(sqlite3_errmsg(db), sqlite::reasonFor(rc));
  removeUnlistedPayloadFiles(db, qmFolder);
  for (const auto& [id, live] : liveBytesPerFile(db)) {
    int64_t size = fileSize(payloadPath(qmFolder, id));
    if (size == 0 || live * 2 >= size) continue;  // mostly live: copying would gain little
    if (Status s = compactOne(db, qmFolder, id, report); !s.ok()) return s;
  }
  Result<StoreSpace> after = measureSpace(db, qmFolder);
  if (!after.ok()) return after.status;
  report.filesRemoved =
      before.value.payloadFiles + report.filesCompacted - after.value.payloadFiles;
  report.bytesFreed = before.value.payloadBytes - after.value.payloadBytes;
  return report;
}

}  // namespace mqi::embedded
