// The road under fire at full size: 300 files of 0 B to 3 MiB through a NEWVERS and a REPLACE
// route while qfeed, qroute and qdrop are killed about a hundred times. Prints the figures
// (all must be 0) and ends with 1 when one is not.
//   CRASH_FILES (300), CRASH_KILLS (100), CRASH_LARGEST_KIB (3072), CRASH_SEED (7)
#include <cstdlib>
#include <iostream>

#include "tests/road/crash_road.h"

namespace {

long setting(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atol(value) : fallback;
}

}  // namespace

int main() {
  road::CrashPlan plan;
  plan.qfeed = QFEED_PATH;
  plan.qroute = QROUTE_PATH;
  plan.qdrop = QDROP_PATH;
  plan.files = static_cast<int>(setting("CRASH_FILES", 300));
  plan.kills = static_cast<int>(setting("CRASH_KILLS", 100));
  plan.largestFile = static_cast<size_t>(setting("CRASH_LARGEST_KIB", 3072)) * 1024;
  plan.seed = static_cast<uint32_t>(setting("CRASH_SEED", 7));
  road::CrashRoad crashRoad(plan);
  const road::CrashFigures figures = crashRoad.run();
  std::cout << figures << std::endl;
  return figures.settled && figures.faults() == 0 ? 0 : 1;
}
