// Payload files: the bytes of large messages, kept outside the database.
//
//   <queue manager folder>/payloads/<id>.pay
//
// A session appends the payloads it puts to a file of its own, without syncing; the row of a
// message keeps (file_id, file_offset, length), with file_id 0 for a payload kept in the
// database (small ones, and every message of a store made before payload files). MQCMIT (and
// a put outside syncpoint of a persistent message) syncs the file before the rows commit, so a
// committed row never points at bytes that were not on disk; whatever a crash leaves past the
// last synced byte is garbage that no committed row references.
//
// The table payload_files lists the files; `writer` is the connection appending to one, 0 once
// sealed (rolled over, its writer gone). A sealed file that no row references is deleted by
// sweepPayloadFiles, which runs after any change that removes rows of payload files. Several
// rows may share one extent: a get and a put of the same bytes in one unit of work (the
// router's) reference the bytes instead of writing them again.
#ifndef QT_MQI_EMBEDDED_PAYLOAD_FILES_H
#define QT_MQI_EMBEDDED_PAYLOAD_FILES_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "platform/data_file.h"

namespace mqi::embedded {

// Payloads up to this size stay in the database: for them one flush of the log is cheaper
// than a second file to sync.
constexpr size_t kInlinePayloadLimit = 8192;
// A file is rolled over once this big, and sealed at a commit once past kSealBytes, so that a
// drained road leaves at most about kSealBytes per connection.
constexpr int64_t kRollBytes = int64_t{64} << 20;
constexpr int64_t kSealBytes = int64_t{1} << 20;

// The version of the database layout that this code writes (PRAGMA user_version); 0 is the
// layout before payload files, 1 the one before backout thresholds and dead-letter queues.
constexpr int kSchemaVersion = 2;

std::string payloadFolder(const std::string& qmFolder);
std::string payloadPath(const std::string& qmFolder, int64_t fileId);

// Brings a database of an earlier layout up to kSchemaVersion in place (its messages keep
// their payloads in the database). Returns an sqlite3 code; SQLITE_CANTOPEN when the database
// was made by a newer version.
int upgradeSchema(sqlite3* db);

struct Extent {
  int64_t fileId = 0;
  int64_t offset = 0;
  int64_t length = 0;
};

// The file one session appends to.
class PayloadWriter {
 public:
  void bind(sqlite3* db, const std::string& qmFolder, int64_t connectionId);
  // Outside any transaction: makes sure `length` more bytes fit in the current file, rolling
  // over to a new one (registered in its own transaction) when needed. Returns an MQ reason.
  int32_t reserve(size_t length);
  // Whether reserve(length) would roll over to a new file.
  bool needsRoll(size_t length) const {
    return !file_.isOpen() || (size_ > 0 && size_ + static_cast<int64_t>(length) > kRollBytes);
  }
  // Inside the put's transaction: appends the bytes. Returns an MQ reason.
  int32_t append(const void* data, size_t length, Extent& out);
  // Makes every byte appended so far durable. Returns an MQ reason. It touches only the
  // payload files, so it may run on another thread while the session writes rows.
  int32_t flush();
  // Whether flush() has anything to make durable.
  bool unsynced() const { return dirty_ || folderDirty_ || !rolled_.empty(); }
  // After a commit: seals the file once past kSealBytes (the next put starts another).
  void sealIfLarge();
  void abandon() {
    file_.abandon();
    for (platform::DataFile& file : rolled_) file.abandon();
    rolled_.clear();
  }

 private:
  int32_t roll();

  // Bytes are handed to the disk in steps of this size as they come, so that the sync at the
  // commit waits for little more than the last step.
  static constexpr int64_t kWritebackStep = int64_t{8} << 20;

  sqlite3* db_ = nullptr;
  std::string folder_;
  int64_t connectionId_ = 0;
  int64_t fileId_ = 0;
  int64_t size_ = 0;
  int64_t writtenBack_ = 0;  // bytes of the file handed to the disk
  bool dirty_ = false;
  bool folderDirty_ = false;  // a file was created since the folder was last synced
  platform::DataFile file_;
  std::vector<platform::DataFile> rolled_;  // earlier files not yet synced
};

// Reads extents, keeping the last file open. forget() closes it, so that a deleted file's
// space is not held by an idle session.
class PayloadFiles {
 public:
  explicit PayloadFiles(std::string qmFolder = {}) : folder_(std::move(qmFolder)) {}
  // False when the file is missing (missing() tells) or too short.
  bool read(int64_t fileId, int64_t offset, void* into, size_t length);
  bool missing() const { return missing_; }
  void forget();
  void abandon() { file_.abandon(); }

 private:
  std::string folder_;
  int64_t fileId_ = 0;
  bool missing_ = false;
  platform::DataFile file_;
};

// Deletes sealed payload files that no row references: their rows at once, the files by a
// thread of the process (removeFilesLater). Returns an sqlite3 code.
int sweepPayloadFiles(sqlite3* db, const std::string& qmFolder);

// Files in the payload folder that the table does not list (left by a process killed between
// the removal of a file's row and the removal of the file) are deleted; run by whoever backs
// out a dead connection, and by qmctl's calls. A file's row is listed before the file is made,
// so a file being made is spared.
void removeUnlistedPayloadFiles(sqlite3* db, const std::string& qmFolder);

// The space of a queue manager's payloads.
Result<StoreSpace> measureSpace(sqlite3* db, const std::string& qmFolder);

// Copies the live extents of sealed files that are mostly dead into a new file, points their
// rows at the copies and deletes the old files. Returns what it did.
Result<CompactReport> compactPayloadFiles(sqlite3* db, const std::string& qmFolder);

}  // namespace mqi::embedded

#endif  // QT_MQI_EMBEDDED_PAYLOAD_FILES_H
