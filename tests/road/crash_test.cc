// The road keeps every file whole and single while its three programs are killed again and
// again: nothing lost, corrupted, duplicated, partial, left over or stuck.
#include <gtest/gtest.h>

#include <iostream>

#include "tests/road/crash_road.h"

namespace road {
namespace {

TEST(RoadCrash, KillsOfEveryProgramLeaveEachFileDeliveredOnceAndWhole) {
  CrashPlan plan;
  plan.qfeed = QFEED_PATH;
  plan.qroute = QROUTE_PATH;
  plan.qdrop = QDROP_PATH;
  CrashRoad road(plan);
  CrashFigures figures = road.run();
  std::cout << figures << std::endl;
  EXPECT_TRUE(figures.settled);
  EXPECT_GE(figures.kills, plan.kills / 2) << "the road emptied before most kills";
  EXPECT_EQ(figures.faults(), 0) << figures;
}

}  // namespace
}  // namespace road
