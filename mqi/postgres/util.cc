// Small pieces of the PostgreSQL store: statement parameters, results, one connection with its
// prepared statements, and the reason code of a failed statement.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "mqi/postgres/postgres.h"

namespace mqi::pg {

void Params::push(const char* p, int length, int format) {
  pointers_.push_back(p);
  lengths_.push_back(length);
  formats_.push_back(format);
}

Params& Params::add(int64_t value) { return add(std::to_string(value)); }

Params& Params::add(const std::string& text) {
  owned_.push_back(text);
  push(owned_.back().c_str(), static_cast<int>(owned_.back().size()), 0);
  return *this;
}

Params& Params::addBytes(const void* data, size_t length) {
  // libpq wants a non-null pointer even for an empty binary value.
  static const char empty = 0;
  push(length == 0 ? &empty : static_cast<const char*>(data), static_cast<int>(length), 1);
  return *this;
}

Rows& Rows::operator=(Rows&& o) noexcept {
  if (this != &o) {
    PQclear(r_);
    r_ = o.r_;
    o.r_ = nullptr;
  }
  return *this;
}

bool Rows::ok() const {
  if (r_ == nullptr) return false;
  ExecStatusType s = PQresultStatus(r_);
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

std::string Rows::text(int row, int col) const {
  return std::string(PQgetvalue(r_, row, col), static_cast<size_t>(PQgetlength(r_, row, col)));
}

int64_t Rows::i64(int row, int col) const {
  return null(row, col) ? 0 : std::strtoll(PQgetvalue(r_, row, col), nullptr, 10);
}

namespace {
uint64_t bigEndian(const char* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
}  // namespace

int64_t Rows::binI64(int row, int col) const {
  return static_cast<int64_t>(bigEndian(PQgetvalue(r_, row, col), 8));
}

int32_t Rows::binI32(int row, int col) const {
  return static_cast<int32_t>(static_cast<uint32_t>(bigEndian(PQgetvalue(r_, row, col), 4)));
}

std::string Rows::error() const {
  return r_ == nullptr ? std::string("no result") : std::string(PQresultErrorMessage(r_));
}

std::string Rows::sqlState() const {
  const char* s = r_ == nullptr ? nullptr : PQresultErrorField(r_, PG_DIAG_SQLSTATE);
  return s == nullptr ? std::string() : std::string(s);
}

int64_t Rows::affected() const {
  const char* n = r_ == nullptr ? "" : PQcmdTuples(r_);
  return *n == '\0' ? 0 : std::strtoll(n, nullptr, 10);
}

Conn::~Conn() {
  if (c_ != nullptr) PQfinish(c_);
}

Conn& Conn::operator=(Conn&& o) noexcept {
  if (this != &o) {
    Conn gone;
    gone.swap(*this);
    swap(o);
  }
  return *this;
}

void Conn::swap(Conn& o) noexcept {
  std::swap(c_, o.c_);
  std::swap(answered_, o.answered_);
  std::swap(statements_, o.statements_);
  std::swap(prepared_, o.prepared_);
}

namespace {

// Settings every connection gets unless its location sets them: a server that vanished (a
// cut cable, a machine without power) is noticed in about half a minute, whether the
// connection waits for an answer or for a notification, instead of after TCP gives up.
struct TcpSetting {
  const char* keyword;
  const char* value;
};
constexpr TcpSetting kTcpSettings[] = {{"keepalives", "1"},
                                       {"keepalives_idle", "10"},
                                       {"keepalives_interval", "5"},
                                       {"keepalives_count", "3"},
                                       {"tcp_user_timeout", "30000"}};

// Whether this libpq knows the keyword (tcp_user_timeout came with version 12).
bool libpqKnows(const char* keyword) {
  static const std::vector<std::string> known = [] {
    std::vector<std::string> names;
    PQconninfoOption* options = PQconndefaults();
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o)
      names.emplace_back(o->keyword);
    PQconninfoFree(options);
    return names;
  }();
  return std::find(known.begin(), known.end(), keyword) != known.end();
}

}  // namespace

bool Conn::open(const std::string& conninfo) {
  std::vector<const char*> keywords, values;
  if (PQconninfoOption* given = PQconninfoParse(conninfo.c_str(), nullptr)) {
    for (const TcpSetting& setting : kTcpSettings) {
      bool set = false;
      for (PQconninfoOption* o = given; o->keyword != nullptr; ++o)
        set = set || (std::strcmp(o->keyword, setting.keyword) == 0 && o->val != nullptr);
      if (set || !libpqKnows(setting.keyword)) continue;
      keywords.push_back(setting.keyword);
      values.push_back(setting.value);
    }
    PQconninfoFree(given);
  }
  keywords.push_back("dbname");  // the location itself, expanded; it names none of the above
  values.push_back(conninfo.c_str());
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  c_ = PQconnectdbParams(keywords.data(), values.data(), 1);
  if (c_ == nullptr || PQstatus(c_) != CONNECTION_OK) return false;
  // Notices (for example "schema already exists") are not for the agents' log.
  PQsetNoticeProcessor(c_, [](void*, const char*) {}, nullptr);
  return true;
}

std::string Conn::error() const {
  if (c_ == nullptr) return "out of memory";
  std::string e = PQerrorMessage(c_);
  while (!e.empty() && (e.back() == '\n' || e.back() == ' ')) e.pop_back();
  return e;
}

namespace {

bool mentions(const std::string& text, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (text.find(w) != std::string::npos) return true;
  return false;
}

// The password a connection string carries (as user:password@ or password=), as libpq reads it.
std::string passwordOf(const std::string& conninfo) {
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
  std::string password;
  for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o)
    if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr) password = o->val;
  PQconninfoFree(options);
  return password;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}

}  // namespace

ConnectFailure classifyConnectFailure(const std::string& text) {
  // The server's words for a login it refused: a wrong password, an unknown role, no line in
  // pg_hba.conf for this client. The last names the missing encryption too, so it comes first.
  if (mentions(text, {"authentication failed", "pg_hba.conf", "no password supplied",
                      "password is required", "role \""}))
    return ConnectFailure::kRefused;
  if (mentions(text, {"FATAL:  database \""})) return ConnectFailure::kUnknownDatabase;
  if (mentions(text, {"SSL", "certificate", "sslmode", "TLS", "GSSAPI"}))
    return ConnectFailure::kTls;
  return ConnectFailure::kUnreachable;
}

std::string connectErrorText(const std::string& conninfo, const Conn& conn) {
  std::string text = conn.error();
  replaceAll(text, passwordOf(conninfo), "***");
  // Several addresses tried give several lines: the log keeps one.
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  replaceAll(text, "  ", " ");
  return text;
}

std::string connectFailureMessage(const std::string& conninfo, const Conn& conn) {
  std::string text = connectErrorText(conninfo, conn);
  switch (classifyConnectFailure(conn.error())) {
    case ConnectFailure::kRefused:
      return "the PostgreSQL server refused the login (user, password or pg_hba.conf): " + text;
    case ConnectFailure::kUnknownDatabase:
      return "the PostgreSQL server has no such database: " + text;
    case ConnectFailure::kTls:
      return "the TLS connection to the PostgreSQL server failed (sslmode, certificates): " +
             text;
    case ConnectFailure::kUnreachable:
      break;
  }
  return "cannot reach the PostgreSQL server: " + text;
}

Rows Conn::exec(const std::string& sql) {
  if (c_ == nullptr) return Rows();
  return answer(PQexec(c_, sql.c_str()));
}

Rows Conn::answer(PGresult* r) {
  answered_ = std::chrono::steady_clock::now();
  return Rows(r);
}

Rows Conn::run(const std::string& sql, const Params& params, bool binaryResult) {
  if (c_ == nullptr) return Rows();
  // A statement is sent whole on its first use (one round trip) and prepared on its second:
  // the agents connect for every file, and most statements of such a short session run once.
  Statement& s = statements_[sql];
  if (s.uses++ == 1) {
    std::string name = "q" + std::to_string(++prepared_);
    Rows made(PQprepare(c_, name.c_str(), sql.c_str(), 0, nullptr));
    if (made.ok()) s.name = name;
  }
  int resultFormat = binaryResult ? 1 : 0;
  if (s.name.empty())
    return answer(PQexecParams(c_, sql.c_str(), params.count(), nullptr, params.values(),
                               params.lengths(), params.formats(), resultFormat));
  return answer(PQexecPrepared(c_, s.name.c_str(), params.count(), params.values(),
                               params.lengths(), params.formats(), resultFormat));
}

namespace {

// Reads the answers of one statement of a pipeline up to the end of its results: the last one.
Rows nextAnswer(PGconn* c) {
  Rows last;
  while (PGresult* r = PQgetResult(c)) last = Rows(r);
  return last;
}

}  // namespace

std::vector<Rows> Conn::runTogether(const std::vector<Step>& steps) {
  std::vector<Rows> answers(steps.size());
  if (c_ == nullptr || PQenterPipelineMode(c_) == 0) return answers;
  std::vector<Statement*> preparing;  // per statement sent: its entry when prepared now
  for (const Step& step : steps) {
    Statement& s = statements_[*step.sql];
    ++s.uses;
    bool prepare = s.name.empty();
    std::string name = prepare ? "q" + std::to_string(++prepared_) : s.name;
    // A send fails only with the connection gone: nothing more can be read then either.
    if (prepare && PQsendPrepare(c_, name.c_str(), step.sql->c_str(), 0, nullptr) == 0)
      return answers;
    const Params& p = *step.params;
    int sent = PQsendQueryPrepared(c_, name.c_str(), p.count(), p.values(), p.lengths(),
                                   p.formats(), 0);
    if (sent == 0) return answers;
    preparing.push_back(prepare ? &s : nullptr);
    if (prepare) s.name = name;  // forgotten below if the server refused it
  }
  if (PQpipelineSync(c_) == 0) return answers;
  for (size_t i = 0; i < preparing.size(); ++i) {
    if (preparing[i] != nullptr) {
      Rows made = nextAnswer(c_);
      if (!made.ok()) {  // its error is the statement's answer; its run was skipped
        preparing[i]->name.clear();
        nextAnswer(c_);
        answers[i] = std::move(made);
        continue;
      }
    }
    answers[i] = nextAnswer(c_);
  }
  // The end of the pipeline, then back to one statement at a time.
  while (PGresult* r = PQgetResult(c_)) {
    bool synced = PQresultStatus(r) == PGRES_PIPELINE_SYNC;
    PQclear(r);
    if (synced) break;
  }
  PQexitPipelineMode(c_);
  answered_ = std::chrono::steady_clock::now();
  return answers;
}

std::string Conn::literal(const std::string& text) const {
  char* quoted = PQescapeLiteral(c_, text.data(), text.size());
  if (quoted == nullptr) return "NULL";
  std::string out(quoted);
  PQfreemem(quoted);
  return out;
}

int32_t reasonFor(const Conn& conn, const Rows& rows) {
  if (!conn.usable()) return MQRC_CONNECTION_BROKEN;
  std::string state = rows.sqlState();
  if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0) return MQRC_CONNECTION_BROKEN;
  if (state == kLeaseLostState) return MQRC_CONNECTION_BROKEN;    // ended by others
  if (state == "53100") return MQRC_Q_SPACE_NOT_AVAILABLE;        // disk full
  if (state.rfind("53", 0) == 0 || state == "40P01" || state == "40001")
    return MQRC_RESOURCE_PROBLEM;                                  // out of resources, deadlock
  return MQRC_UNEXPECTED_ERROR;
}

std::string queueChannel(int64_t queueId) { return "qt.q." + std::to_string(queueId); }
std::string qmgrChannel(const std::string& qmgr) { return "qt.m." + qmgr; }

}  // namespace mqi::pg
