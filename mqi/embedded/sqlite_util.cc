#include "mqi/embedded/sqlite_util.h"

#include "mqi/mqi.h"
#include "platform/platform.h"

namespace mqi::sqlite {
namespace {

// Writers hold the database lock for one short transaction, so a waiting writer retries
// often (0.1 ms) at first rather than sleeping for whole milliseconds as the default handler
// does; that keeps the wake-up of a waiting get fast. Gives up after about 60 seconds.
int busyRetry(void*, int attempt) {
  if (attempt > 60000) return 0;
  platform::sleepMicroseconds(attempt < 100 ? 100 : 1000);
  return 1;
}

}  // namespace

int openDatabase(const std::string& path, bool create, sqlite3** out) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), out, flags, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_busy_handler(*out, busyRetry, nullptr);
  sqlite3_extended_result_codes(*out, 0);
  rc = exec(*out,
            "PRAGMA journal_mode=WAL;"
            "PRAGMA synchronous=FULL;"
            // Payloads of any size live in payload files, so the log holds only rows: a short
            // log, cut back after each checkpoint, keeps a drained store small.
            "PRAGMA wal_autocheckpoint=1024;"
            "PRAGMA journal_size_limit=4194304;"
            // Payload pages pass through once; a small cache keeps agents' memory low and the
            // system's page cache serves re-reads.
            "PRAGMA cache_size=-2048;"
            "PRAGMA secure_delete=OFF;");
  return rc;
}

int32_t reasonFor(int sqliteCode) {
  switch (sqliteCode & 0xff) {
    case SQLITE_FULL:
      return MQRC_Q_SPACE_NOT_AVAILABLE;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
      return MQRC_RESOURCE_PROBLEM;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return MQRC_OBJECT_DAMAGED;
    default:
      return MQRC_UNEXPECTED_ERROR;
  }
}

}  // namespace mqi::sqlite
