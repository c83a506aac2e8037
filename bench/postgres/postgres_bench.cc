// Figures of the PostgreSQL store against a baseline of the same rows written and read with
// libpq directly, in one run on one server:
//   1. N persistent messages of 24,575 bytes put in one unit of work, then committed (MB/s,
//      and the commit's share of the time);
//   2. the same got under syncpoint, then committed (MB/s);
//   3. connect + one 400-byte put under syncpoint + commit + disconnect (per second), the way
//      the agents reconnect after every file, against libpq connect + insert + commit + close,
//      the two in alternating blocks.
// 1 and 2 run kRounds times, baseline and store in turn, and the best round of each counts: a
// busy machine slows single rounds, not the best of five. Beside the ratio of the bests, the
// median of the rounds' own ratios: a baseline round and the store round after it share the
// machine's load of that moment.
// Usage: postgres_bench CONNINFO [N]   (N defaults to 4000; 43691 is a file of 1 GiB)
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSegment = 24575;
constexpr int kSmall = 400;
constexpr int kConnectRounds = 400;
constexpr int kBlock = 20;
constexpr int kRounds = 5;

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void field(MQCHAR* f, size_t n, const std::string& s) {
  std::memset(f, ' ', n);
  std::memcpy(f, s.data(), std::min(n, s.size()));
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "postgres_bench: %s failed\n", what);
    std::exit(1);
  }
}

PGconn* connectRaw(const std::string& conninfo) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  check(PQstatus(c) == CONNECTION_OK, "libpq connect");
  return c;
}

void exec(PGconn* c, const char* sql) {
  PGresult* r = PQexec(c, sql);
  ExecStatusType s = PQresultStatus(r);
  PQclear(r);
  check(s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK, sql);
}

void insert(PGconn* c, const std::string& data) {
  const char* values[] = {data.data()};
  int lengths[] = {static_cast<int>(data.size())};
  int formats[] = {1};
  PGresult* r = PQexecPrepared(c, "ins", 1, values, lengths, formats, 0);
  check(PQresultStatus(r) == PGRES_COMMAND_OK, "baseline insert");
  PQclear(r);
}

// The baseline: a plain table, rows inserted in one transaction, then selected and deleted one
// by one in another.
// Figures of one round: put and get throughput (MB/s), and the commit's share of the put's time.
struct Round {
  double putMBs = 0, getMBs = 0, commitShare = 0;
};

// Keeps the best put and get of the rounds (with the commit share of that best put).
void keepBest(Round& best, const Round& round) {
  if (round.putMBs > best.putMBs) {
    best.putMBs = round.putMBs;
    best.commitShare = round.commitShare;
  }
  best.getMBs = std::max(best.getMBs, round.getMBs);
}

// The share of the time since `start` that passed since `commitStart`.
double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double shareSince(Clock::time_point start, Clock::time_point commitStart) {
  return seconds(commitStart) / seconds(start);
}

Round baseline(const std::string& conninfo, int n) {
  Round out;
  PGconn* c = connectRaw(conninfo);
  exec(c, "SET client_min_messages=warning; DROP TABLE IF EXISTS bench_rows;"
          "CREATE TABLE bench_rows(id bigserial PRIMARY KEY, data bytea NOT NULL);"
          "ALTER TABLE bench_rows ALTER COLUMN data SET STORAGE EXTERNAL");
  PQclear(PQprepare(c, "ins", "INSERT INTO bench_rows(data) VALUES($1)", 0, nullptr));
  PQclear(PQprepare(c, "take", "DELETE FROM bench_rows WHERE id=(SELECT id FROM bench_rows"
                               " ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING data",
                    0, nullptr));
  std::string data(kSegment, 'x');
  double mb = double(n) * kSegment / 1e6;
  auto start = Clock::now();
  exec(c, "BEGIN");
  for (int i = 0; i < n; ++i) insert(c, data);
  auto commitStart = Clock::now();
  exec(c, "COMMIT");
  out.commitShare = shareSince(start, commitStart);
  out.putMBs = mb / seconds(start);
  start = Clock::now();
  exec(c, "BEGIN");
  for (int i = 0; i < n; ++i) {
    PGresult* r = PQexecPrepared(c, "take", 0, nullptr, nullptr, nullptr, 1);
    check(PQntuples(r) == 1, "baseline take");
    PQclear(r);
  }
  exec(c, "COMMIT");
  out.getMBs = mb / seconds(start);
  PQfinish(c);
  return out;
}

// One round of the baseline's reconnecting client: connect, insert, commit, close.
void baselineRound(const std::string& conninfo, const std::string& small) {
  PGconn* one = connectRaw(conninfo);
  PQclear(PQprepare(one, "ins", "INSERT INTO bench_rows(data) VALUES($1)", 0, nullptr));
  exec(one, "BEGIN");
  insert(one, small);
  exec(one, "COMMIT");
  PQfinish(one);
}

struct Mq {
  MQHCONN h = MQHC_UNUSABLE_HCONN;
  MQHOBJ q = MQHO_UNUSABLE_HOBJ;
  explicit Mq(const std::string& qmgr, MQLONG options) {
    MQCHAR48 name;
    field(name, 48, qmgr);
    MQLONG cc, rc;
    MQCONN(name, &h, &cc, &rc);
    check(cc == MQCC_OK, "MQCONN");
    MQOD od = {MQOD_DEFAULT};
    field(od.ObjectName, 48, "BENCH");
    MQOPEN(h, &od, options, &q, &cc, &rc);
    check(cc == MQCC_OK, "MQOPEN");
  }
  void put(const std::string& data) {
    MQMD md = {MQMD_DEFAULT};
    md.Persistence = MQPER_PERSISTENT;
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
    MQLONG cc, rc;
    MQPUT(h, q, &md, &pmo, static_cast<MQLONG>(data.size()), const_cast<char*>(data.data()), &cc,
          &rc);
    check(cc == MQCC_OK, "MQPUT");
  }
  void get(std::vector<char>& buffer) {
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_NO_WAIT;
    MQLONG cc, rc, length;
    MQGET(h, q, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
    check(cc == MQCC_OK, "MQGET");
  }
  void commit() {
    MQLONG cc, rc;
    MQCMIT(h, &cc, &rc);
    check(cc == MQCC_OK, "MQCMIT");
  }
  ~Mq() {
    MQLONG cc, rc;
    MQDISC(&h, &cc, &rc);
  }
};

Round store(const std::string& qmgr, int n) {
  Round out;
  std::string data(kSegment, 'x');
  double mb = double(n) * kSegment / 1e6;
  Mq mq(qmgr, MQOO_OUTPUT | MQOO_INPUT_SHARED);
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) mq.put(data);
  auto commitStart = Clock::now();
  mq.commit();
  out.commitShare = shareSince(start, commitStart);
  out.putMBs = mb / seconds(start);
  std::vector<char> buffer(kSegment);
  start = Clock::now();
  for (int i = 0; i < n; ++i) mq.get(buffer);
  mq.commit();
  out.getMBs = mb / seconds(start);
  return out;
}

// Reconnecting clients of both kinds in alternating blocks, so that a change of the machine's
// load during the run weighs on both alike.
void reconnecting(const std::string& conninfo, const std::string& qmgr, double& storeRate,
                  double& baseRate) {
  std::string small(kSmall, 's');
  double storeSeconds = 0, baseSeconds = 0;
  for (int block = 0; block < kConnectRounds / kBlock; ++block) {
    auto start = Clock::now();
    for (int i = 0; i < kBlock; ++i) baselineRound(conninfo, small);
    baseSeconds += seconds(start);
    start = Clock::now();
    for (int i = 0; i < kBlock; ++i) {
      Mq mq(qmgr, MQOO_OUTPUT);
      mq.put(small);
      mq.commit();
    }
    storeSeconds += seconds(start);
  }
  storeRate = kConnectRounds / storeSeconds;
  baseRate = kConnectRounds / baseSeconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: postgres_bench CONNINFO [N]\n");
    return 2;
  }
  std::string conninfo = argv[1];
  int n = argc > 2 ? std::atoi(argv[2]) : 4000;
  setenv("QM_STORE", conninfo.c_str(), 1);
  std::string qmgr = "BENCH" + std::to_string(getpid());
  check(mqi::createQueueManager(qmgr, {}).ok(), "create queue manager");
  check(mqi::startQueueManager(qmgr).ok(), "start queue manager");
  check(mqi::defineQueue(qmgr, "BENCH", {}).ok(), "define queue");

  Round base, ours;
  double bRate, sRate;
  std::vector<double> putRatios, getRatios;
  for (int round = 0; round < kRounds; ++round) {
    Round b = baseline(conninfo, n);
    Round s = store(qmgr, n);
    putRatios.push_back(s.putMBs / b.putMBs);
    getRatios.push_back(s.getMBs / b.getMBs);
    keepBest(base, b);
    keepBest(ours, s);
  }
  reconnecting(conninfo, qmgr, sRate, bRate);
  mqi::stopQueueManager(qmgr, false);
  mqi::deleteQueueManager(qmgr);

  std::printf("%d messages of %d bytes\n", n, kSegment);
  std::printf("put+commit   store %8.1f MB/s   libpq %8.1f MB/s   %5.1f%%   median of rounds"
              " %5.1f%%   (commit: store %.1f%%, libpq %.1f%% of the time)\n",
              ours.putMBs, base.putMBs, 100 * ours.putMBs / base.putMBs, 100 * median(putRatios),
              100 * ours.commitShare, 100 * base.commitShare);
  std::printf("get+commit   store %8.1f MB/s   libpq %8.1f MB/s   %5.1f%%   median of rounds"
              " %5.1f%%\n",
              ours.getMBs, base.getMBs, 100 * ours.getMBs / base.getMBs, 100 * median(getRatios));
  std::printf("connect+put+commit+disconnect   store %7.1f/s   libpq %7.1f/s   %5.1f%%\n", sRate,
              bRate, 100 * sRate / bRate);
  return 0;
}
