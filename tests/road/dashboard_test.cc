// The dashboard in a real browser: the road carries files while qmctl serve shows it, and
// headless Chromium renders the page as an operator would see it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "mqi/admin.h"
#include "tests/road/road_harness.h"
#include "tests/support/dashboard.h"

namespace road {
namespace {

constexpr int kWaitMs = 45000;

std::string findChromium() {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  for (size_t start = 0; start <= folders.size();) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    for (const char* name : {"chromium", "chromium-browser"}) {
      const std::filesystem::path candidate = folders.substr(start, end - start) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return "";
}

// Chromium run headless on `url`, with `what` ("--dump-dom" or "--screenshot=FILE") ; its
// standard output goes to `out`. A fresh profile in `profile` each time.
int runChromium(const std::string& chromium, const std::string& url, const std::string& what,
                const std::string& profile, const std::string& out) {
  testsupport::ProgramStart start;
  start.args = {"--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--disable-dev-shm-usage",
                "--no-first-run",
                "--user-data-dir=" + profile,
                "--window-size=1400,1100",
                "--virtual-time-budget=8000",
                what,
                url};
  start.out = out;
  start.err = out + ".err";
  testsupport::Program browser(chromium, start);
  return browser.waitExit(90000).value_or(-1);
}

int32_t depthOf(const std::string& qmgr, const std::string& queue) {
  const auto info = mqi::describeQueue(qmgr, queue);
  return info.ok() ? info.value.currentDepth : -1;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Dashboard, ABrowserShowsTheQueuesTheirDepthsAndTheDeliveredFiles) {
  if (std::string(QMCTL_PATH).empty()) GTEST_SKIP() << "qmctl is not part of this build";
  const std::string chromium = findChromium();
  if (chromium.empty()) {
    GTEST_SKIP() << "chromium is not installed, so the dashboard is not checked in a browser "
                    "(scripts/deps.sh installs it)";
  }
  Road road({QFEED_PATH, QROUTE_PATH, QDROP_PATH});
  road.folder().write("src/orders.xml", "<orders/>\n");
  road.folder().write("src/archive.bin", patternBytes(100000, 7));
  road.folder().write("unrouted/lost.txt", "no route takes me\n");
  road.startAll();
  road.putJob(road.src() + "/orders.xml", 1);
  road.putJob(road.src() + "/archive.bin", 2);
  road.putJob(road.unrouted() + "/lost.txt", 3);
  const std::string qm = road.qm().name();
  ASSERT_TRUE(pollUntil(
      [&] {
        return depthOf(qm, Road::kDeliveryStatus) == 2 && depthOf(qm, Road::kDead) == 2 &&
               depthOf(qm, Road::kLoadStatus) == 3;
      },
      kWaitMs, 50))
      << "the road did not deliver: load status " << depthOf(qm, Road::kLoadStatus)
      << ", delivery status " << depthOf(qm, Road::kDeliveryStatus) << ", dead-letter "
      << depthOf(qm, Road::kDead);

  testsupport::Dashboard dashboard(
      QMCTL_PATH,
      {"--reply-queue", Road::kLoadStatus, "--reply-queue", Road::kDeliveryStatus, "--dead-queue",
       Road::kDead, "--deferred-queue", Road::kDefer},
      road.root() + "/logs/serve.log");
  ASSERT_NE(dashboard.port(), 0) << readFile(road.root() + "/logs/serve.log");
  const std::string dom = road.root() + "/dom.html";
  ASSERT_EQ(runChromium(chromium, dashboard.url(), "--dump-dom", road.root() + "/profile", dom), 0)
      << readFile(dom + ".err");
  const std::string page = readFile(dom);

  EXPECT_THAT(page, ::testing::HasSubstr("data-qmgr=\"" + qm + "\""));
  EXPECT_THAT(page, ::testing::HasSubstr(R"(data-queue="LOAD.STATUS" data-depth="3")"));
  EXPECT_THAT(page, ::testing::HasSubstr(R"(data-queue="DLVR.STATUS" data-depth="2")"));
  EXPECT_THAT(page, ::testing::HasSubstr(R"(data-queue="QROUTE.IN" data-depth="0")"));
  EXPECT_EQ(count(page, R"(data-state="delivered")"), 2u);
  EXPECT_THAT(page, ::testing::HasSubstr(road.target() + "/orders.xml"));
  EXPECT_THAT(page, ::testing::HasSubstr(road.target() + "/archive.bin"));
  EXPECT_THAT(page, ::testing::HasSubstr("no route takes the file"));
  EXPECT_THAT(page, ::testing::Not(::testing::HasSubstr("class=\"error\"")));
  if (HasFailure()) {
    const std::string shot = std::filesystem::absolute("dashboard_failure.png");
    runChromium(chromium, dashboard.url(), "--screenshot=" + shot, road.root() + "/profile2",
                road.root() + "/shot.txt");
    ADD_FAILURE() << "the page as rendered: " << shot;
  }
  EXPECT_TRUE(road.stopAll());
}

}  // namespace
}  // namespace road
