// Thin RAII helpers over the sqlite3 C API for the embedded store.
#ifndef QT_MQI_EMBEDDED_SQLITE_UTIL_H
#define QT_MQI_EMBEDDED_SQLITE_UTIL_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace mqi::sqlite {

// One prepared statement; reset and unbound by Use when a use ends.
class Stmt {
 public:
  Stmt() = default;
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool prepare(sqlite3* db, std::string_view sql) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    return sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) == SQLITE_OK;
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// One use of a prepared statement: bind, step, read columns; resets it at the end.
class Use {
 public:
  explicit Use(Stmt& stmt) : s_(stmt.get()) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  Use& bind(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Use& bind(int i, std::string_view v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // The bytes are not copied: they must live until the statement has run.
  Use& bindBlob(int i, const void* data, size_t length) {
    sqlite3_bind_blob64(s_, i, data == nullptr ? "" : data, length, SQLITE_STATIC);
    return *this;
  }
  int step() { return sqlite3_step(s_); }
  bool row() { return step() == SQLITE_ROW; }
  // Runs to the end; returns SQLITE_DONE on success or the error code.
  int run() {
    int rc;
    while ((rc = sqlite3_step(s_)) == SQLITE_ROW) {
    }
    return rc;
  }
  int64_t i64(int col) const { return sqlite3_column_int64(s_, col); }
  int32_t i32(int col) const { return static_cast<int32_t>(sqlite3_column_int64(s_, col)); }
  std::string text(int col) const {
    const unsigned char* t = sqlite3_column_text(s_, col);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t));
  }
  const void* blob(int col) const { return sqlite3_column_blob(s_, col); }
  int bytes(int col) const { return sqlite3_column_bytes(s_, col); }

 private:
  sqlite3_stmt* s_;
};

// Runs SQL without results; returns the sqlite3 result code.
inline int exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Opens a queue manager database with the settings every connection uses: WAL journal,
// a busy handler that retries briefly and often, foreign keys off.
int openDatabase(const std::string& path, bool create, sqlite3** out);

// The MQ reason code for an sqlite3 failure: disk full 2056, busy 2102, anything else 2195.
int32_t reasonFor(int sqliteCode);

}  // namespace mqi::sqlite

#endif  // QT_MQI_EMBEDDED_SQLITE_UTIL_H
