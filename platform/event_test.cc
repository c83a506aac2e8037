#include "platform/event.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/platform.h"
#include "platform/test_folder.h"

namespace platform {
namespace {

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    // A folder that does not exist yet: the offering side creates it.
    setenv("QT_EVENT_DIR", (root_ + "/run/events").c_str(), 1);
  }
  void TearDown() override { unsetenv("QT_EVENT_DIR"); }
  TestFolder folder_{"events"};
  const std::string& root_ = folder_.path();
};

TEST_F(EventTest, OpeningAnEventThatNobodyOffersFailsAtOnce) {
  EXPECT_EQ(openEvent("OS2SSService-7"), kInvalidEvent);
  EXPECT_EQ(lastError(), ENOENT);
  // A FIFO left behind by a program that has gone: nobody reads it.
  EventHandle offered = createEvent("OS2SSService-7");
  ASSERT_NE(offered, kInvalidEvent);
  ASSERT_TRUE(closeEvent(offered));
  EXPECT_EQ(openEvent("OS2SSService-7"), kInvalidEvent);
  EXPECT_EQ(lastError(), ENXIO);
}

TEST_F(EventTest, SettingWakesTheOfferingSide) {
  EventHandle offered = createEvent("OS2SSService-7");
  ASSERT_NE(offered, kInvalidEvent);
  EXPECT_FALSE(waitEvent(offered, 0));
  EventHandle opened = openEvent("OS2SSService-7");
  ASSERT_NE(opened, kInvalidEvent);
  EXPECT_TRUE(setEvent(opened));
  EXPECT_TRUE(waitEvent(offered, 1000));
  EXPECT_FALSE(waitEvent(offered, 0));  // taken once
  EXPECT_TRUE(closeEvent(opened));
  EXPECT_TRUE(closeEvent(offered));
  EXPECT_TRUE(removeEvent("OS2SSService-7"));
}

TEST_F(EventTest, RefusesNamesThatAreNotPlainNames) {
  for (const char* name : {"", ".", "..", "a/b", "../x"}) {
    EXPECT_EQ(openEvent(name), kInvalidEvent) << name;
    EXPECT_EQ(lastError(), EINVAL) << name;
    EXPECT_EQ(createEvent(name), kInvalidEvent) << name;
  }
  EXPECT_EQ(openEvent(std::string(201, 'e').c_str()), kInvalidEvent);
  EXPECT_FALSE(setEvent(kInvalidEvent));
  // A regular file of the event's name is no event.
  EXPECT_EQ(mkdir((root_ + "/run").c_str(), 0755), 0);
  EXPECT_EQ(mkdir((root_ + "/run/events").c_str(), 0755), 0);
  FILE* plain = fopen((root_ + "/run/events/OS2SSService-7").c_str(), "w");
  ASSERT_NE(plain, nullptr);
  fclose(plain);
  EXPECT_EQ(openEvent("OS2SSService-7"), kInvalidEvent);
  EXPECT_EQ(lastError(), EINVAL);
}

}  // namespace
}  // namespace platform
