// A throwaway data folder with one running queue manager "QM1" and queue "Q1", for the unit
// tests of the MQI layer and its embedded store.
#ifndef QT_MQI_TEST_FIXTURE_H
#define QT_MQI_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "mqi/admin.h"
#include "mqi/failpoints.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"

namespace mqi::testing {

class QmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    setenv("QM_STORE", folder_.path().c_str(), 1);
    unsetenv("QM_FAILPOINTS");
    reloadFailpoints();
    ASSERT_TRUE(createQueueManager("QM1", {}).ok());
    ASSERT_TRUE(startQueueManager("QM1").ok());
    ASSERT_TRUE(defineQueue("QM1", "Q1", {}).ok());
  }
  void TearDown() override {
    if (hconn_ != MQHC_UNUSABLE_HCONN) {
      MQLONG cc, rc;
      MQDISC(&hconn_, &cc, &rc);
    }
  }

  MQHCONN connect(const char* name = "QM1") {
    MQLONG cc, rc;
    MQCHAR48 qm = {};
    std::snprintf(qm, sizeof qm, "%s", name);
    MQCONN(qm, &hconn_, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    return hconn_;
  }
  MQHOBJ open(const char* queue, MQLONG options, MQLONG* reason = nullptr) {
    MQOD od = {MQOD_DEFAULT};
    std::snprintf(od.ObjectName, sizeof od.ObjectName, "%s", queue);
    MQHOBJ h = MQHO_UNUSABLE_HOBJ;
    MQLONG cc, rc;
    MQOPEN(hconn_, &od, options, &h, &cc, &rc);
    if (reason != nullptr) *reason = rc;
    else EXPECT_EQ(rc, MQRC_NONE);
    return h;
  }
  MQLONG put(MQHOBJ h, const std::string& data, MQLONG options = MQPMO_NO_SYNCPOINT,
             MQMD* md = nullptr) {
    MQMD local = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = options;
    MQLONG cc, rc;
    MQPUT(hconn_, h, md != nullptr ? md : &local, &pmo, static_cast<MQLONG>(data.size()),
          const_cast<char*>(data.data()), &cc, &rc);
    return rc;
  }
  MQLONG get(MQHOBJ h, std::string& data, MQLONG options = MQGMO_NO_SYNCPOINT,
             MQMD* md = nullptr, MQLONG bufferLength = 65536, MQLONG wait = 0) {
    MQMD local = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = options;
    gmo.WaitInterval = wait;
    std::string buffer(static_cast<size_t>(bufferLength), '\0');
    MQLONG cc, rc, length = -1;
    MQGET(hconn_, h, md != nullptr ? md : &local, &gmo, bufferLength, buffer.data(), &length,
          &cc, &rc);
    data = length >= 0 ? buffer.substr(0, std::min(length, bufferLength)) : std::string();
    return rc;
  }

  // On a connection of its own (another thread's or process's): puts `data` on Q1 inside a
  // unit of work and commits. Returns the commit's reason; the connection stays in *hconn.
  static MQLONG commitPutOnNewConnection(const std::string& data, MQHCONN* hconn) {
    MQLONG cc, rc;
    MQCHAR48 name = "QM1";
    MQCONN(name, hconn, &cc, &rc);
    MQOD od = {MQOD_DEFAULT};
    std::snprintf(od.ObjectName, sizeof od.ObjectName, "%s", "Q1");
    MQMD md = {MQMD_DEFAULT};
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    MQPUT1(*hconn, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
           const_cast<char*>(data.data()), &cc, &rc);
    MQCMIT(*hconn, &cc, &rc);
    return rc;
  }

  TestFolder folder_{"mqi-test"};
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
};

}  // namespace mqi::testing

#endif  // QT_MQI_TEST_FIXTURE_H
