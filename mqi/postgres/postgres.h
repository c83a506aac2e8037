// Inside the PostgreSQL store: queue managers kept in one database that many machines share.
//
// QM_STORE holds a libpq connection URI (postgresql://... or postgres://...). Every queue
// manager of that database lives in the schema "mqi" (created by the first administrative
// call that needs it): queue managers, queues, messages with their payloads, sessions and open
// handles. Every MQI connection is one database connection.
//
// Units of work: each call is one short database transaction; a syncpoint put or get marks its
// rows as owned by the session (state 1 = put, 2 = got), and commit or backout flips them in one
// statement. No row lock outlives a call, so an open unit of work never blocks another session,
// CurrentQDepth counts uncommitted puts, and BackoutCount rises also for a session that died.
// A session holds a session-level advisory lock on its own id while it lives; a session whose
// lock nobody holds is dead (process killed, machine gone, connection dropped) and its unit of
// work is backed out by the next session that could see its messages: a get on a queue that
// holds messages another session got, an open for input, an inquiry, an administrative call.
//
// Waits: every change a getter may care about (a committed message, inhibit, a queue manager
// state change) is sent with NOTIFY by triggers in the database; a waiting session sleeps on its
// connection's socket. A stop ends the server connections of the queue manager's sessions.
#ifndef QT_MQI_POSTGRES_POSTGRES_H
#define QT_MQI_POSTGRES_POSTGRES_H

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "mqi/postgres/postgres_store.h"

namespace mqi {

namespace pg {

// Advisory lock key space of the store: high 32 bits of a bigint key.
constexpr int64_t kSessionLockSpace = 0x51540001;  // a live session holds (space, session id)
constexpr int64_t kQueueLockSpace = 0x51540002;    // held while an open checks input modes

// Parameters of one statement: integers and text are sent as text, byte strings as binary.
class Params {
 public:
  Params() = default;
  // A copy would point into the values of the original.
  Params(const Params&) = delete;
  Params& operator=(const Params&) = delete;
  Params& add(int64_t value);
  Params& add(const std::string& text);
  Params& addBytes(const void* data, size_t length);
  int count() const { return static_cast<int>(pointers_.size()); }
  const char* const* values() const { return pointers_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  void push(const char* p, int length, int format);
  std::deque<std::string> owned_;  // text values; a deque keeps their addresses stable
  std::vector<const char*> pointers_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// A statement result; frees itself.
class Rows {
 public:
  Rows() = default;
  explicit Rows(PGresult* r) : r_(r) {}
  Rows(Rows&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  Rows& operator=(Rows&& o) noexcept;
  ~Rows() { PQclear(r_); }
  bool ok() const;  // command or rows, no error
  int size() const { return r_ ? PQntuples(r_) : 0; }
  bool null(int row, int col) const { return PQgetisnull(r_, row, col) != 0; }
  std::string text(int row, int col) const;
  int64_t i64(int row, int col) const;  // text format
  int32_t i32(int row, int col) const { return static_cast<int32_t>(i64(row, col)); }
  const char* bytes(int row, int col) const { return PQgetvalue(r_, row, col); }
  int length(int row, int col) const { return PQgetlength(r_, row, col); }
  int64_t binI64(int row, int col) const;  // binary format int8
  int32_t binI32(int row, int col) const;  // binary format int4
  std::string error() const;
  std::string sqlState() const;
  int64_t affected() const;
  PGresult* get() const { return r_; }

 private:
  PGresult* r_ = nullptr;
};

// One database connection with a cache of prepared statements.
class Conn {
 public:
  Conn() = default;
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  Conn(Conn&& o) noexcept { swap(o); }
  Conn& operator=(Conn&& o) noexcept;

  // False when the server cannot be reached; error() says why.
  bool open(const std::string& conninfo);
  bool usable() const { return c_ != nullptr && PQstatus(c_) == CONNECTION_OK; }
  PGconn* raw() const { return c_; }
  std::string error() const;
  // Forgets the connection without closing it (a forked child must not touch the parent's).
  void abandon() { c_ = nullptr; }

  Rows exec(const std::string& sql);  // simple query, may hold several statements
  // A parameterised statement, prepared when it runs a second time; binaryResult asks for
  // binary columns.
  Rows run(const std::string& sql, const Params& params, bool binaryResult = false);
  // Statements that must run in one transaction, each with a fresh look at what is committed
  // (as the statements of a simple query do), sent in one round trip as prepared statements:
  // a simple query is planned anew every time. Each is prepared in the same round trip the
  // first time this connection runs it. One answer per statement; after a failed one the rest
  // are not run (their answers are not ok) and the transaction is rolled back.
  struct Step {
    Step(const std::string& text, const Params& values) : sql(&text), params(&values) {}
    const std::string* sql;
    const Params* params;
  };
  std::vector<Rows> runTogether(const std::vector<Step>& steps);
  std::string literal(const std::string& text) const;  // quoted for inclusion in SQL
  // When the last answer was read whole: every notification sent before it was read with it.
  std::chrono::steady_clock::time_point answered() const { return answered_; }

 private:
  struct Statement {
    int uses = 0;
    std::string name;  // empty until prepared
  };
  Rows answer(PGresult* r);
  void swap(Conn& o) noexcept;

  PGconn* c_ = nullptr;
  std::chrono::steady_clock::time_point answered_;
  std::unordered_map<std::string, Statement> statements_;
  int prepared_ = 0;
};

// Why a server connection could not be made, told from libpq's text.
enum class ConnectFailure { kUnreachable, kRefused, kUnknownDatabase, kTls };
ConnectFailure classifyConnectFailure(const std::string& text);
// libpq's text on a failed connect to `conninfo` on one line, its password replaced by "***".
std::string connectErrorText(const std::string& conninfo, const Conn& conn);
// What an operator reads: the cause in words of its own, then libpq's text.
std::string connectFailureMessage(const std::string& conninfo, const Conn& conn);

// The connections a process keeps between sessions (a few, closed oldest first), keyed by
// their connection string. A session hands its connection back after it ran the statements of
// kSessionReset (listening ended, advisory locks released, settings back to their defaults) in
// the same round trip as its last statement; the prepared statements stay, they belong to the
// store.
extern const std::vector<std::string> kSessionReset;
// Moves a kept connection to `conninfo` into `out`: false when none is kept or none still
// answers (those are closed).
bool takeConnection(const std::string& conninfo, Conn& out);
// Keeps `conn` for the next session to `conninfo`, or closes it when it is not fit for reuse
// (gone, or a transaction still open).
void keepConnection(const std::string& conninfo, Conn&& conn);
size_t idleConnections();

// Leases. A session renews its lease (sessions.renewed, by the server's clock) while it lives;
// one that went `lease` seconds without (a stopped process, a machine cut off) is ended by the
// next session that looks for dead ones: its work backed out, its server connection ended.
// A session renews along with the state refresh its calls make anyway (at most every third of
// the lease, no round trip of its own), and at its commit, which also proves the lease still
// held in the commit's own transaction. A process can spend longer than a lease outside MQ
// calls while holding a unit of work (a long XML check, a slow flush before the commit), so
// one thread per process renews the leases of the sessions that are idle between calls.
//
// The SQLSTATE a statement fails with when its session was ended meanwhile.
constexpr const char* kLeaseLostState = "QTL01";
// The SQLSTATE a commit fails with when a message whose payload one of its puts took over is
// gone (its queue was deleted with its messages meanwhile); the unit is then backed out.
constexpr const char* kMoveLostState = "QTM01";

class LeaseHolder {
 public:
  virtual ~LeaseHolder() = default;
  // Held by the session's own thread for the whole of each of its calls; the renewing thread
  // only tries it, so it never waits for a call or a call for it.
  std::recursive_mutex callLock;
  // Both called by the renewing thread with callLock held.
  virtual bool leaseDue(std::chrono::steady_clock::time_point now) const = 0;
  virtual void renewIdle() = 0;
};
// The renewing thread looks after `holder` from now on / no longer. After stopRenewing
// returns, the thread does not touch it.
void keepLeaseRenewed(LeaseHolder* holder);
void stopRenewing(LeaseHolder* holder);

// The MQ reason code for a failed statement on `conn`: 2009 when the connection is gone.
int32_t reasonFor(const Conn& conn, const Rows& rows);

// Creates the schema, its tables, functions and triggers unless present. Returns "" or an error.
std::string ensureSchema(Conn& conn);
bool schemaExists(Conn& conn);

// A session on queue manager `qmgr`; 2059 when the server cannot be reached.
int32_t connectSession(const std::string& conninfo, const std::string& qmgr,
                       std::unique_ptr<Session>& out);

// Channel names of the notifications.
std::string queueChannel(int64_t queueId);
std::string qmgrChannel(const std::string& qmgr);

}  // namespace pg
}  // namespace mqi

#endif  // QT_MQI_POSTGRES_POSTGRES_H
