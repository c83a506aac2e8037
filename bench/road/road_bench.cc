// road_bench: end-to-end throughput of the road of a file, from the job put on qfeed's queue to
// the last DLVR_STATUS of qdrop, against cp of the same data followed by sync in the same run;
// besides, what the road costs in memory and in store space.
//
//   road_bench [--big-mib N] [--small-files N] [--small-kib N] [--store LOCATION]
//
// --big-mib N      the one big file, in MiB (default 1024; 0 leaves the case out)
// --small-files N  how many small files (default 1000; 0 leaves the case out)
// --small-kib N    the size of each small file, in KiB (default 1)
// --store LOCATION where the queue manager ROAD is made: a folder (embedded store) or a
//                  PostgreSQL URI (postgresql://...). Without it: QM_STORE when that names a
//                  PostgreSQL database, otherwise an embedded store in the throwaway folder.
//
// Each case runs in a throwaway folder under /tmp with a throwaway queue manager, and prints
// three table rows:
// - the road's seconds, MiB/s and files/s; cp+sync's seconds and MiB/s; the road's time over
//   cp+sync's, and the road's throughput as a percentage of cp+sync's;
// - the peak resident memory (VmHWM, KiB) of qfeed, qroute and qdrop, read just before they
//   stop; the store's space (KiB) before the transfer, at its peak during it (sampled every
//   200 ms) and after: once every queue is empty and the space stopped changing. The space of
//   an embedded store is what the files of its folder take on disk; of a PostgreSQL store, the
//   size of its database (pg_database_size, the server's WAL not included);
// - the processor seconds (user and system) that qfeed, qroute and qdrop used until the last
//   status arrived: on a busy machine a steadier figure than the times.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef ROAD_BENCH_POSTGRES
#include <libpq-fe.h>
#endif

#include "tests/road/road_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 3600 * 1000;
constexpr int kDrainWaitMs = 60 * 1000;
constexpr int kSettleSeconds = 10;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool isPostgres(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

// Writes `size` bytes of pattern in pieces, so that a file of a GiB needs no GiB of memory.
void writeLargeFile(const std::string& path, size_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary);
  const std::string piece = road::patternBytes(1 << 20, seed);
  for (size_t left = size; left > 0;) {
    size_t n = std::min(left, piece.size());
    out.write(piece.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

double timeCopy(const std::string& from, const std::string& to) {
  auto start = Clock::now();
  std::string command = "cp -r '" + from + "' '" + to + "' && sync";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cp failed\n");
  return secondsSince(start);
}

// The bytes the regular files under `folder` take on disk (files that vanish meanwhile left
// out).
int64_t folderBytes(const std::string& folder) {
  namespace fs = std::filesystem;
  int64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st;
    if (lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total += int64_t{st.st_blocks} * 512;
  }
  return total;
}

// The space a store takes now, in bytes; -1 when it cannot be told.
class StoreSpace {
 public:
  explicit StoreSpace(std::string location) : location_(std::move(location)) {}
  ~StoreSpace() {
#ifdef ROAD_BENCH_POSTGRES
    if (db_ != nullptr) PQfinish(db_);
#endif
  }
  StoreSpace(const StoreSpace&) = delete;
  StoreSpace& operator=(const StoreSpace&) = delete;

  int64_t bytes() {
    return isPostgres(location_) ? databaseBytes() : folderBytes(location_);
  }

 private:
  int64_t databaseBytes() {
#ifdef ROAD_BENCH_POSTGRES
    if (db_ == nullptr) db_ = PQconnectdb(location_.c_str());
    PGresult* r = PQexec(db_, "SELECT pg_database_size(current_database())");
    int64_t size = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1
                       ? std::strtoll(PQgetvalue(r, 0, 0), nullptr, 10)
                       : -1;
    PQclear(r);
    return size;
#else
    return -1;
#endif
  }

  std::string location_;
#ifdef ROAD_BENCH_POSTGRES
  PGconn* db_ = nullptr;
#endif
};

// The largest space of the store while it lives, sampled on a thread of its own.
class PeakSpace {
 public:
  explicit PeakSpace(const std::string& location)
      : sampler_([this, location](std::stop_token stop) {
          StoreSpace space(location);
          while (!stop.stop_requested()) {
            peak_ = std::max(peak_.load(), space.bytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
          }
        }) {}
  int64_t stop() {
    sampler_.request_stop();
    sampler_.join();
    return peak_;
  }

 private:
  std::atomic<int64_t> peak_{-1};
  std::jthread sampler_;
};

// The peak resident memory of a running program in KiB (VmHWM), or -1.
long peakRssKiB(const road::Program* program) {
  if (program == nullptr) return -1;
  std::ifstream status("/proc/" + std::to_string(program->pid()) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// The processor time a running program has used so far (user and system), in seconds, or -1.
double cpuSeconds(const road::Program* program) {
  if (program == nullptr) return -1;
  std::ifstream stat("/proc/" + std::to_string(program->pid()) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t afterName = text.rfind(')');  // the name may hold spaces
  if (afterName == std::string::npos) return -1;
  std::istringstream fields(text.substr(afterName + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::strtod(field.c_str(), nullptr);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Waits until every queue of the road is empty (the load statuses drained here), then until
// the store's space stops changing; returns that space.
int64_t spaceOnceDrained(road::Road& road, StoreSpace& space) {
  road.qm().drain(road::Road::kLoadStatus);
  const char* queues[] = {
      road::Road::kJobs,  road::Road::kReceiver,   road::Road::kDelivery,      road::Road::kDead,
      road::Road::kDefer, road::Road::kLoadStatus, road::Road::kDeliveryStatus};
  bool drained = road::pollUntil(
      [&] {
        return std::all_of(std::begin(queues), std::end(queues),
                           [&](const char* queue) { return road.qm().depth(queue) == 0; });
      },
      kDrainWaitMs, 200);
  if (!drained) std::fprintf(stderr, "the road's queues did not all empty\n");
  int64_t last = space.bytes();
  for (int second = 0; second < kSettleSeconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int64_t now = space.bytes();
    if (now == last) break;
    last = now;
  }
  return last;
}

// Puts one job per file and waits for every DLVR_STATUS; returns the seconds taken, or a
// negative number when not all files arrived.
double timeRoad(road::Road& road, const std::vector<std::string>& names) {
  auto start = Clock::now();
  uint32_t id = 0;
  for (const std::string& name : names) {
    road.putJob(road.src() + "/" + name, ++id, 'N');
  }
  auto statuses = road.qm().getStatuses(road::Road::kDeliveryStatus, names.size(), kWaitMs);
  double seconds = secondsSince(start);
  size_t delivered = 0;
  for (const auto& s : statuses) delivered += s.state == 'D';
  return delivered == names.size() ? seconds : -1;
}

struct Figures {
  std::string name;
  double bytes = 0;
  size_t files = 0;
  double road = -1, copy = 0;
  long rssKiB[3] = {-1, -1, -1};  // qfeed, qroute, qdrop
  double cpu[3] = {-1, -1, -1};    // processor seconds of qfeed, qroute, qdrop on the road
  int64_t spaceBefore = -1, spacePeak = -1, spaceAfter = -1;
};

// Times cp+sync of `copyFrom`, then sends the files `names` of the source folder down the
// road; false when not every file arrived.
bool measure(road::Road& road, const std::string& store, const std::vector<std::string>& names,
             const std::string& copyFrom, const std::string& copyTo, Figures& f) {
  std::system("sync");
  f.copy = timeCopy(copyFrom, copyTo);
  StoreSpace space(store);
  f.spaceBefore = space.bytes();
  road.startAll();
  PeakSpace peak(store);
  f.road = timeRoad(road, names);
  f.cpu[0] = cpuSeconds(road.feed());
  f.cpu[1] = cpuSeconds(road.router());
  f.cpu[2] = cpuSeconds(road.drop());
  f.spacePeak = peak.stop();
  f.spaceAfter = spaceOnceDrained(road, space);
  f.spacePeak = std::max({f.spacePeak, f.spaceBefore, f.spaceAfter});
  f.rssKiB[0] = peakRssKiB(road.feed());
  f.rssKiB[1] = peakRssKiB(road.router());
  f.rssKiB[2] = peakRssKiB(road.drop());
  road.stopAll();
  return f.road >= 0;
}

bool bigFile(const road::ProgramPaths& programs, const std::string& store, size_t mib, Figures& f) {
  road::Road road(programs, "REPLACE", store);
  road.folder().makeFolder("cp/from");
  writeLargeFile(road.root() + "/cp/from/big.bin", mib << 20, 1);
  writeLargeFile(road.src() + "/big.bin", mib << 20, 1);
  f.name = "1 file of " + std::to_string(mib) + " MiB";
  f.bytes = double(mib << 20);
  f.files = 1;
  return measure(road, store.empty() ? road.root() + "/qm" : store, {"big.bin"},
                 road.root() + "/cp/from/big.bin", road.root() + "/cp/big.bin", f);
}

bool smallFiles(const road::ProgramPaths& programs, const std::string& store, size_t count,
                size_t kib, Figures& f) {
  road::Road road(programs, "REPLACE", store);
  road.folder().makeFolder("cp/from");
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i) {
    names.push_back("small" + std::to_string(i) + ".dat");
    std::string content = road::patternBytes(kib << 10, static_cast<uint32_t>(i));
    road.folder().write("cp/from/" + names.back(), content);
    road.folder().write("src/" + names.back(), content);
  }
  f.name = std::to_string(count) + " files of " + std::to_string(kib) + " KiB";
  f.bytes = double(count * (kib << 10));
  f.files = count;
  return measure(road, store.empty() ? road.root() + "/qm" : store, names, road.root() + "/cp/from",
                 road.root() + "/cp/to", f);
}

void printTimes(const std::vector<Figures>& all) {
  std::printf("%-22s %9s %9s %9s | %9s %9s | %8s %9s\n", "", "road s", "MiB/s", "files/s",
              "cp+sync s", "MiB/s", "road/cp", "road % of");
  std::printf("%-22s %9s %9s %9s | %9s %9s | %8s %9s\n", "case", "", "", "", "", "", "time",
              "cp+sync");
  for (const Figures& f : all) {
    double mib = f.bytes / 1048576.0;
    std::printf("%-22s %9.2f %9.2f %9.2f | %9.2f %9.2f | %8.1f %8.2f%%\n", f.name.c_str(), f.road,
                mib / f.road, f.files / f.road, f.copy, mib / f.copy, f.road / f.copy,
                100 * f.copy / f.road);
  }
}

void printResources(const std::vector<Figures>& all) {
  std::printf("\n%-22s %-29s | %-38s\n", "", "peak RSS, KiB", "store space, KiB");
  std::printf("%-22s %9s %9s %9s | %12s %12s %12s\n", "case", "qfeed", "qroute", "qdrop", "before",
              "peak", "after");
  for (const Figures& f : all) {
    std::printf("%-22s %9ld %9ld %9ld | %12lld %12lld %12lld\n", f.name.c_str(), f.rssKiB[0],
                f.rssKiB[1], f.rssKiB[2], static_cast<long long>(f.spaceBefore / 1024),
                static_cast<long long>(f.spacePeak / 1024),
                static_cast<long long>(f.spaceAfter / 1024));
  }
  // Less disturbed by other work on the machine than the times above.
  std::printf("\n%-22s %-29s\n", "", "processor seconds");
  std::printf("%-22s %9s %9s %9s\n", "case", "qfeed", "qroute", "qdrop");
  for (const Figures& f : all)
    std::printf("%-22s %9.2f %9.2f %9.2f\n", f.name.c_str(), f.cpu[0], f.cpu[1], f.cpu[2]);
}

struct Options {
  size_t bigMib = 1024, smallFiles = 1000, smallKib = 1;
  std::string store;  // "": an embedded store in each case's throwaway folder
};

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const char* value = argv[i + 1];
    if (std::strcmp(argv[i], "--big-mib") == 0)
      o.bigMib = std::strtoul(value, nullptr, 10);
    else if (std::strcmp(argv[i], "--small-files") == 0)
      o.smallFiles = std::strtoul(value, nullptr, 10);
    else if (std::strcmp(argv[i], "--small-kib") == 0)
      o.smallKib = std::strtoul(value, nullptr, 10);
    else if (std::strcmp(argv[i], "--store") == 0)
      o.store = value;
    else
      return false;
  }
  const char* environment = std::getenv("QM_STORE");
  if (o.store.empty() && environment != nullptr && isPostgres(environment)) o.store = environment;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: road_bench [--big-mib N] [--small-files N] [--small-kib N]"
                 " [--store LOCATION]\n");
    return 2;
  }
  const road::ProgramPaths programs = {QFEED_PATH, QROUTE_PATH, QDROP_PATH};
  std::printf("store: %s\n\n",
              options.store.empty() ? "embedded, in a throwaway folder" : options.store.c_str());
  std::vector<Figures> all;
  if (options.bigMib > 0) {
    Figures f;
    if (!bigFile(programs, options.store, options.bigMib, f)) {
      std::printf("%s: not delivered\n", f.name.c_str());
      return 1;
    }
    all.push_back(f);
  }
  if (options.smallFiles > 0) {
    Figures f;
    if (!smallFiles(programs, options.store, options.smallFiles, options.smallKib, f)) {
      std::printf("%s: not all delivered\n", f.name.c_str());
      return 1;
    }
    all.push_back(f);
  }
  printTimes(all);
  printResources(all);
  return 0;
}
