// road_bench: end-to-end throughput of the road of a file, from the job put on qfeed's queue to
// the last DLVR_STATUS of qdrop, against cp of the same data followed by sync in the same run.
//
//   road_bench [--big-mib N] [--small-files N] [--small-kib N]
//   (defaults: one file of 1024 MiB, and 1000 files of 1 KiB)
//
// Runs in a throwaway folder under /tmp with a throwaway queue manager.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/road/road_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

// Puts one job per file and waits for every DLVR_STATUS; returns the seconds taken, or a
// negative number when not all files arrived.
double timeRoad(road::Road& road, const std::vector<std::string>& names, int waitMs) {
  auto start = Clock::now();
  uint32_t id = 0;
  for (const std::string& name : names) {
    road.putJob(road.src() + "/" + name, ++id, 'N');
  }
  auto statuses = road.qm().getStatuses(road::Road::kDeliveryStatus, names.size(), waitMs);
  double seconds = secondsSince(start);
  size_t delivered = 0;
  for (const auto& s : statuses) delivered += s.state == 'D';
  return delivered == names.size() ? seconds : -1;
}

void report(const char* what, double bytes, size_t files, double road, double copy) {
  double mib = bytes / 1048576.0;
  std::printf("%-22s road %8.2f s  %8.1f MiB/s  %8.1f files/s | cp+sync %7.2f s  %8.1f MiB/s"
              " | road/cp time ratio %6.1f\n",
              what, road, mib / road, files / road, copy, mib / copy, road / copy);
}

}  // namespace

int main(int argc, char** argv) {
  size_t bigMib = 1024, smallFiles = 1000, smallKib = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--big-mib") == 0) bigMib = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--small-files") == 0) smallFiles = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--small-kib") == 0) smallKib = std::strtoul(argv[i + 1], nullptr, 10);
  }
  const road::ProgramPaths programs = {QFEED_PATH, QROUTE_PATH, QDROP_PATH};
  const int waitMs = 3600 * 1000;

  if (bigMib > 0) {
    road::Road road(programs, "REPLACE");
    road.folder().makeFolder("cp/from");
    writeLargeFile(road.root() + "/cp/from/big.bin", bigMib << 20, 1);
    writeLargeFile(road.src() + "/big.bin", bigMib << 20, 1);
    std::system("sync");
    double copy = timeCopy(road.root() + "/cp/from/big.bin", road.root() + "/cp/big.bin");
    road.startAll();
    double seconds = timeRoad(road, {"big.bin"}, waitMs);
    road.stopAll();
    if (seconds < 0) {
      std::printf("one file of %zu MiB: not delivered\n", bigMib);
      return 1;
    }
    report(("1 file of " + std::to_string(bigMib) + " MiB").c_str(), double(bigMib << 20), 1,
           seconds, copy);
  }
  if (smallFiles > 0) {
    road::Road road(programs, "REPLACE");
    road.folder().makeFolder("cp/from");
    std::vector<std::string> names;
    for (size_t i = 0; i < smallFiles; ++i) {
      names.push_back("small" + std::to_string(i) + ".dat");
      std::string content = road::patternBytes(smallKib << 10, static_cast<uint32_t>(i));
      road.folder().write("cp/from/" + names.back(), content);
      road.folder().write("src/" + names.back(), content);
    }
    std::system("sync");
    double copy = timeCopy(road.root() + "/cp/from", road.root() + "/cp/to");
    road.startAll();
    double seconds = timeRoad(road, names, waitMs);
    road.stopAll();
    if (seconds < 0) {
      std::printf("%zu files of %zu KiB: not all delivered\n", smallFiles, smallKib);
      return 1;
    }
    report((std::to_string(smallFiles) + " files of " + std::to_string(smallKib) + " KiB").c_str(),
           double(smallFiles * (smallKib << 10)), smallFiles, seconds, copy);
  }
  return 0;
}
