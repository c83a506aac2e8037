// Measures the embedded queue manager against SQLite used directly with the same durability
// (WAL, synchronous FULL at commit) and against dd of the same bytes, in one run, and prints
// the figures and their ratios.
//
//   mqi_bench [folder] [MiB]
// folder: where to make the throwaway stores (default a new folder under /tmp);
// MiB: how much the bulk put and get move in one unit of work, in 24,575-byte messages
// (default 1024). The put's file baseline is `dd if=/dev/zero bs=1M conv=fsync` of as many MiB
// into the folder; the get's is dd of that file to /dev/null, read from the page cache (the
// file was just written, as the queue manager's pages were), and the put's dd as well.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"

namespace {

constexpr int kSegment = 24575;
constexpr int kSmall = 400;
constexpr int kSmallUnits = 1000;
constexpr int kWakeRounds = 200;

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

long maxRssKiB() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Runs a shell command; its seconds.
double timeCommand(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return seconds(start);
}

double ddWrite(const std::string& path, int mib) {
  return timeCommand("dd if=/dev/zero of='" + path + "' bs=1M count=" + std::to_string(mib) +
                     " conv=fsync status=none");
}

double ddRead(const std::string& path) {
  return timeCommand("dd if='" + path + "' of=/dev/null bs=1M status=none");
}

void check(MQLONG rc, const char* what) {
  if (rc != MQRC_NONE) {
    std::fprintf(stderr, "%s failed: %d\n", what, rc);
    std::exit(1);
  }
}

// ---- plain SQLite -------------------------------------------------------------------------

sqlite3* openBaseline(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
               "PRAGMA wal_autocheckpoint=16384;"
               "CREATE TABLE IF NOT EXISTS m(id INTEGER PRIMARY KEY, data BLOB);",
               nullptr, nullptr, nullptr);
  return db;
}

double baselinePut(sqlite3* db, int count, int size, bool oneTransaction) {
  std::vector<char> data(size, 'x');
  sqlite3_stmt* ins;
  sqlite3_prepare_v2(db, "INSERT INTO m(data) VALUES(?1)", -1, &ins, nullptr);
  auto start = std::chrono::steady_clock::now();
  if (oneTransaction) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < count; ++i) {
    if (!oneTransaction) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_bind_blob(ins, 1, data.data(), size, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
    if (!oneTransaction) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  if (oneTransaction) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  double s = seconds(start);
  sqlite3_finalize(ins);
  return s;
}

double baselineGet(sqlite3* db, int size) {
  std::vector<char> buffer(size);
  sqlite3_stmt *first, *del;
  sqlite3_prepare_v2(db, "SELECT id FROM m ORDER BY id LIMIT 1", -1, &first, nullptr);
  sqlite3_prepare_v2(db, "DELETE FROM m WHERE id=?1", -1, &del, nullptr);
  auto start = std::chrono::steady_clock::now();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  while (sqlite3_step(first) == SQLITE_ROW) {
    sqlite3_int64 id = sqlite3_column_int64(first, 0);
    sqlite3_reset(first);
    sqlite3_blob* blob;
    sqlite3_blob_open(db, "main", "m", "data", id, 0, &blob);
    sqlite3_blob_read(blob, buffer.data(), sqlite3_blob_bytes(blob), 0);
    sqlite3_blob_close(blob);
    sqlite3_bind_int64(del, 1, id);
    sqlite3_step(del);
    sqlite3_reset(del);
  }
  sqlite3_reset(first);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  double s = seconds(start);
  sqlite3_finalize(first);
  sqlite3_finalize(del);
  return s;
}

// ---- the MQI ---------------------------------------------------------------------------

struct Mq {
  MQHCONN hconn = MQHC_UNUSABLE_HCONN;
  MQHOBJ q = MQHO_UNUSABLE_HOBJ;
  Mq() {
    MQLONG cc, rc;
    MQCHAR48 name = "BENCH";
    MQCONN(name, &hconn, &cc, &rc);
    check(rc, "MQCONN");
    MQOD od = {MQOD_DEFAULT};
    std::strcpy(od.ObjectName, "Q");
    MQOPEN(hconn, &od, MQOO_OUTPUT | MQOO_INPUT_SHARED, &q, &cc, &rc);
    check(rc, "MQOPEN");
  }
  ~Mq() {
    MQLONG cc, rc;
    MQDISC(&hconn, &cc, &rc);
  }
  void put(const char* data, int size, MQLONG options) {
    MQMD md = {MQMD_DEFAULT};
    md.Persistence = MQPER_PERSISTENT;
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = options;
    MQLONG cc, rc;
    MQPUT(hconn, q, &md, &pmo, size, const_cast<char*>(data), &cc, &rc);
    check(rc, "MQPUT");
  }
  MQLONG get(char* buffer, int size, MQLONG options, MQLONG wait = 0) {
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = options;
    gmo.WaitInterval = wait;
    MQLONG cc, rc, length;
    MQGET(hconn, q, &md, &gmo, size, buffer, &length, &cc, &rc);
    return rc;
  }
  void commit() {
    MQLONG cc, rc;
    MQCMIT(hconn, &cc, &rc);
    check(rc, "MQCMIT");
  }
};

// Two delivery groups of `segments` messages (one MsgId per group, CorrelId = segment number)
// are put; the second group is then got segment by segment by MsgId + CorrelId under
// syncpoint through a handle opened with `input`, as the delivery agent does. The first
// group stays ahead of it on the queue, so a lookup that is not an index seek shows.
double matchedGets(int segments, MQLONG input) {
  std::vector<char> data(kSegment, 'm');
  Mq mq;
  MQLONG cc, rc, length;
  MQOD od = {MQOD_DEFAULT};
  std::strcpy(od.ObjectName, "Q");
  MQCLOSE(mq.hconn, &mq.q, MQCO_NONE, &cc, &rc);
  MQOPEN(mq.hconn, &od, MQOO_OUTPUT, &mq.q, &cc, &rc);
  check(rc, "MQOPEN");
  MQBYTE24 group[2];
  for (int g = 0; g < 2; ++g) {
    for (int i = 1; i <= segments; ++i) {
      MQMD md = {MQMD_DEFAULT};
      if (i > 1) std::memcpy(md.MsgId, group[g], sizeof md.MsgId);
      std::memcpy(md.CorrelId, &i, sizeof i);
      MQPMO pmo = {MQPMO_DEFAULT};
      pmo.Options = MQPMO_SYNCPOINT;
      MQPUT(mq.hconn, mq.q, &md, &pmo, kSegment, data.data(), &cc, &rc);
      check(rc, "MQPUT");
      if (i == 1) std::memcpy(group[g], md.MsgId, sizeof md.MsgId);
    }
    mq.commit();
  }
  MQHOBJ h;
  MQOPEN(mq.hconn, &od, input, &h, &cc, &rc);
  check(rc, "MQOPEN");
  double s = 0;
  for (int g = 1; g >= 0; --g) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= segments; ++i) {
      MQMD md = {MQMD_DEFAULT};
      std::memcpy(md.MsgId, group[g], sizeof md.MsgId);
      std::memcpy(md.CorrelId, &i, sizeof i);
      MQGMO gmo = {MQGMO_DEFAULT};
      gmo.Options = MQGMO_SYNCPOINT;
      MQGET(mq.hconn, h, &md, &gmo, kSegment, data.data(), &length, &cc, &rc);
      check(rc, "MQGET by MsgId + CorrelId");
    }
    mq.commit();
    if (g == 1) s = seconds(start);
  }
  MQCLOSE(mq.hconn, &h, MQCO_NONE, &cc, &rc);
  return s;
}

// Runs in a child so that its peak memory is its own.
void mqPutChild(int count, int pipeFd) {
  std::vector<char> data(kSegment, 'x');
  long before = maxRssKiB();
  double s;
  {
    Mq mq;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) mq.put(data.data(), kSegment, MQPMO_SYNCPOINT);
    mq.commit();
    s = seconds(start);
  }
  double out[3] = {s, static_cast<double>(before), static_cast<double>(maxRssKiB())};
  if (write(pipeFd, out, sizeof out) != sizeof out) _exit(1);
  _exit(0);
}

double mqGet(int count) {
  std::vector<char> buffer(kSegment);
  Mq mq;
  auto start = std::chrono::steady_clock::now();
  int got = 0;
  bool trace = getenv("MQI_BENCH_TRACE") != nullptr;
  auto lap = start;
  while (mq.get(buffer.data(), kSegment, MQGMO_SYNCPOINT) == MQRC_NONE) {
    if (++got % 1000 == 0 && trace) {
      std::printf("  gets %6d: %.3f s per 1,000\n", got, seconds(lap));
      lap = std::chrono::steady_clock::now();
    }
  }
  auto commitStart = std::chrono::steady_clock::now();
  mq.commit();
  if (trace) std::printf("  commit of the gets: %.3f s\n", seconds(commitStart));
  double s = seconds(start);
  if (got != count) std::fprintf(stderr, "got %d of %d messages\n", got, count);
  return s;
}

double mqSmallUnits(int count) {
  std::vector<char> data(kSmall, 's');
  Mq mq;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    mq.put(data.data(), kSmall, MQPMO_SYNCPOINT);
    mq.commit();
  }
  return seconds(start);
}

// A child waits in MQGET; the parent commits one message at a time and the child reports
// when each get returned. Latency = get return - end of the parent's MQCMIT (can be slightly
// negative: the getter may run before the committer returns), and - start of MQCMIT.
void wakeLatency() {
  int toParent[2];
  if (pipe(toParent) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    Mq mq;
    char buffer[64];
    for (int i = 0; i < kWakeRounds; ++i) {
      if (mq.get(buffer, sizeof buffer, MQGMO_WAIT | MQGMO_SYNCPOINT, 30000) != MQRC_NONE)
        _exit(1);
      int64_t t = monotonicNs();
      mq.commit();
      if (write(toParent[1], &t, sizeof t) != sizeof t) _exit(1);
    }
    _exit(0);
  }
  std::vector<double> fromEnd, fromStart;
  {
    Mq mq;
    char small[64] = "wake";
    for (int i = 0; i < kWakeRounds; ++i) {
      usleep(5000);  // let the getter settle into its wait
      mq.put(small, sizeof small, MQPMO_SYNCPOINT);
      int64_t before = monotonicNs();
      mq.commit();
      int64_t after = monotonicNs();
      int64_t woke;
      if (read(toParent[0], &woke, sizeof woke) != sizeof woke) break;
      fromEnd.push_back((woke - after) / 1e6);
      fromStart.push_back((woke - before) / 1e6);
    }
  }
  int status;
  waitpid(pid, &status, 0);
  auto report = [](const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    std::printf("wake-up latency %-22s median %.3f ms  p99 %.3f ms  max %.3f ms  (n=%zu)\n", what,
                v[v.size() / 2], v[v.size() * 99 / 100], v.back(), v.size());
  };
  report("after MQCMIT returned:", fromEnd);
  report("from MQCMIT start:", fromStart);
}

// One line of the bulk figures, in MiB/s, with the queue manager's throughput as a percentage
// of dd's and as a ratio to plain SQLite's.
void printBulk(const char* what, const char* dd, double ddRate, double sqliteRate, double mqRate) {
  std::printf("%-4s %-18s %8.1f MiB/s   sqlite %8.1f MiB/s   mqi %8.1f MiB/s"
              "   mqi %5.1f%% of dd   mqi/sqlite ratio %.2f\n",
              what, dd, ddRate, sqliteRate, mqRate, 100 * mqRate / ddRate, mqRate / sqliteRate);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  std::optional<TestFolder> scratch;  // without a folder argument: a throwaway one
  if (argc > 1) {
    folder = argv[1];
    std::filesystem::create_directories(folder);
  } else {
    scratch.emplace("mqi-bench");
    if (!scratch->ok()) return 1;
    folder = scratch->path();
  }
  int bulkMib = argc > 2 ? std::atoi(argv[2]) : 1024;
  int count = static_cast<int>((int64_t{bulkMib} * 1048576 + kSegment - 1) / kSegment);
  double mb = static_cast<double>(count) * kSegment / (1024.0 * 1024.0);
  const std::string ddFile = folder + "/dd.bin";
  setenv("QM_STORE", (folder + "/store").c_str(), 1);
  mqi::createQueueManager("BENCH", {});
  mqi::startQueueManager("BENCH");
  mqi::defineQueue("BENCH", "Q", {});
  sqlite3* base = openBaseline(folder + "/baseline.db");

  std::printf("bulk: %d messages of %d bytes (%.1f MiB), persistent, one unit of work\n", count,
              kSegment, mb);
  double ddPut = ddWrite(ddFile, bulkMib);
  double basePut = baselinePut(base, count, kSegment, true);
  int fds[2];
  if (pipe(fds) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) mqPutChild(count, fds[1]);
  double child[3] = {0, 0, 0};
  if (read(fds[0], child, sizeof child) != sizeof child) return 1;
  waitpid(pid, nullptr, 0);
  printBulk("put", "dd write+fsync", bulkMib / ddPut, mb / basePut, mb / child[0]);
  std::printf("peak RSS of the putting process: %.1f MiB before, %.1f MiB after %.1f MiB put\n",
              child[1] / 1024, child[2] / 1024, mb);
  double ddGet = ddRead(ddFile);
  std::filesystem::remove(ddFile);
  double baseGet = baselineGet(base, kSegment);
  double ourGet = mqGet(count);
  printBulk("get", "dd read (cached)", bulkMib / ddGet, mb / baseGet, mb / ourGet);
  // A get's unit of work ends with a durable commit too: against the write of the same bytes
  // it says whether the store keeps up with the disk, against a read from the page cache how
  // much the rows cost beyond a copy.
  std::printf("get  mqi %5.1f%% of dd write+fsync of the same bytes\n",
              100 * (mb / ourGet) / (bulkMib / ddPut));

  constexpr int kGroup = 2000;
  double mib = kGroup * double{kSegment} / (1024.0 * 1024.0);
  double shared = matchedGets(kGroup, MQOO_INPUT_SHARED);
  double exclusive = matchedGets(kGroup, MQOO_INPUT_EXCLUSIVE);
  std::printf("get by MsgId + CorrelId behind another group of %d: shared %.1f MiB/s   "
              "exclusive %.1f MiB/s\n", kGroup, mib / shared, mib / exclusive);

  double baseSmall = baselinePut(base, kSmallUnits, kSmall, false);
  double ourSmall = mqSmallUnits(kSmallUnits);
  std::printf("units of work of one %d-byte put: baseline %.0f/s   mqi %.0f/s   ratio %.2f\n",
              kSmall, kSmallUnits / baseSmall, kSmallUnits / ourSmall, baseSmall / ourSmall);
  sqlite3_close(base);
  {  // drain the small messages so the wake-up rounds start on an empty queue
    Mq mq;
    char b[kSmall];
    while (mq.get(b, kSmall, MQGMO_NO_SYNCPOINT) == MQRC_NONE) {
    }
  }
  wakeLatency();
  return 0;
}
