// The routing table: reading it from a settings file, matching source paths, and the delivery
// header built from a route.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/test_folder.h"
#include "router/delivery_header.h"
#include "router/settings.h"

namespace route {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.ok()); }
  void write(const std::string& text) { std::ofstream(path_) << text; }
  std::optional<RouterSettings> read() { return readRouterSettings(path_, &errors_); }

  TestFolder folder_{"qroute_settings"};
  const std::string& dir_ = folder_.path();
  const std::string path_ = folder_ / "qroute.ini";
  std::vector<std::string> errors_;
};

const char* kQueues =
    "[MQSeries Objects]\nQMgrName=QM1\nRcvrQueue=QROUTE.IN\nDlvrQueue=QDROP.IN\n"
    "DeadQueue=QROUTE.DEAD\nReplyToQ=STATUS\nWaitMQInterval=250\n";

TEST_F(SettingsFile, ReadsQueuesAndConsecutiveRoutes) {
  write(std::string(kQueues) +
        "[Route 1]\nSrcFolder=/in/doc\nSrcMask=*.xml\nTgt_path=new(/out/doc/)old\n"
        "Tgt_crtmod=REPLACE\nObj_id=12\nTgt_id=7\nIs_log=Y\nOptions=-garbage QDROP.DEFER\n"
        "[Route 2]\nTgt_path=new(/out/any/)old\nDlvrQueue=OTHER\n"
        "[Route 4]\nTgt_path=new(/never/)old\n");
  std::optional<RouterSettings> s = read();
  ASSERT_TRUE(s) << (errors_.empty() ? "" : errors_[0]);
  EXPECT_EQ(s->qmgrName, "QM1");
  EXPECT_EQ(s->rcvrQueue, "QROUTE.IN");
  EXPECT_EQ(s->deadQueue, "QROUTE.DEAD");
  EXPECT_EQ(s->waitMQInterval, 250u);
  EXPECT_TRUE(s->inputExclusive);
  ASSERT_EQ(s->routes.size(), 2u);  // Route 3 is missing, so Route 4 is never read
  const Route& r1 = s->routes[0];
  EXPECT_EQ(r1.srcMask, "*.xml");
  EXPECT_EQ(r1.objId, 12u);
  EXPECT_EQ(r1.tgtId, 7u);
  EXPECT_EQ(r1.tgtCrtmod, "REPLACE");
  EXPECT_EQ(r1.options, "-garbage QDROP.DEFER");
  const Route& r2 = s->routes[1];
  EXPECT_EQ(r2.srcFolder, "");
  EXPECT_EQ(r2.srcMask, "*");
  EXPECT_EQ(r2.tgtCrtmod, "NEWVERS");
  EXPECT_EQ(r2.tgtType, "FILE");
  EXPECT_EQ(r2.dlvrQueue, "OTHER");
}

TEST_F(SettingsFile, RejectsValuesThatDoNotFitOrThatTheDeliveryAgentWouldRefuse) {
  write("[MQSeries Objects]\nRcvrQueue=" + std::string(49, 'Q') +
        "\nWaitMQInterval=1s\n"
        "[Route 1]\nTgt_path=" + std::string(255, 'p') + "\nTgt_crtmod=replace\nObj_id=-1\n"
        "Is_log=YES\nOptions=" + std::string(578, 'o') + "\n");
  EXPECT_FALSE(read());
  std::string all;
  for (const std::string& e : errors_) all += e + "\n";
  for (const char* expected :
       {"RcvrQueue is 49", "WaitMQInterval = 1s", "DeadQueue is missing", "Tgt_path is 255",
        "Tgt_crtmod = replace", "Obj_id = -1", "Is_log is 3", "Options is 578",
        "has no DlvrQueue"}) {
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " not in:\n" << all;
  }
}

TEST_F(SettingsFile, MissingFileOrEmptyTableIsAnError) {
  EXPECT_FALSE(read());  // nothing written
  write(kQueues);
  EXPECT_FALSE(read());
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_NE(errors_[0].find("routing table is empty"), std::string::npos);
}

TEST(SourcePath, SplitsAtTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(splitSourcePath("/in/doc/a.xml").folder, "/in/doc");
  EXPECT_EQ(splitSourcePath("/in/doc/a.xml").name, "a.xml");
  EXPECT_EQ(splitSourcePath("C:\\in\\a.xml").folder, "C:\\in");
  EXPECT_EQ(splitSourcePath("C:\\in/sub\\a.xml").name, "a.xml");
  EXPECT_EQ(splitSourcePath("a.xml").folder, "");
  EXPECT_EQ(splitSourcePath("a.xml").name, "a.xml");
  EXPECT_EQ(splitSourcePath("/a.xml").name, "/a.xml");  // a leading separator alone is no split
  EXPECT_EQ(splitSourcePath("").name, "");
}

TEST(RouteMatching, FolderExactlyMaskWithoutRegardToCaseFirstMatchWins) {
  Route xml;
  xml.number = 1;
  xml.srcFolder = "/in/doc/";
  xml.srcMask = "*.xml";
  Route anyInDoc;
  anyInDoc.number = 2;
  anyInDoc.srcFolder = "\\in\\doc";
  Route anywhere;
  anywhere.number = 3;
  anywhere.srcFolder = "*";
  anywhere.srcMask = "report??.txt";
  std::vector<Route> table = {xml, anyInDoc, anywhere};

  EXPECT_EQ(findRoute(table, "/in/doc/a.XML")->number, 1);
  EXPECT_EQ(findRoute(table, "\\in\\doc\\a.xml")->number, 1);
  EXPECT_EQ(findRoute(table, "/in/doc/a.bin")->number, 2);
  EXPECT_EQ(findRoute(table, "/elsewhere/report01.txt")->number, 3);
  // Windows rules: a '?' before the dot may match nothing, but never two characters.
  EXPECT_EQ(findRoute(table, "/elsewhere/report1.txt")->number, 3);
  EXPECT_EQ(findRoute(table, "/elsewhere/report123.txt"), nullptr);
  EXPECT_EQ(findRoute(table, "/in/doc/sub/a.xml"), nullptr);  // subfolders are other folders
  EXPECT_EQ(findRoute(table, "/in/docs/a.xml"), nullptr);
}

TEST(DeliveryHeader, CarriesTheDataHeaderAndFillsTheRoutePart) {
  SRCDESC source;
  initSRCDESC(source);
  source.MaxSeq.assign(42);
  source.Src_id.assign(77);
  source.Src_path.assign("/in/doc/report.xml");
  source.Src_lrecl.assign(5);
  Route r;
  r.objId = 3;
  r.isLog = "Y";
  r.tgtId = 9;
  r.tgtPath = "new(/out/)old";
  r.tgtCrtmod = "REPLACE";
  r.options = "-garbage DEFER";

  TGTDESC header;
  buildDeliveryHeader(source, r, &header);
  EXPECT_EQ(std::memcmp(&header, &source, sizeof source), 0);
  EXPECT_EQ(header.MaxSeq.value(), 42u);
  EXPECT_EQ(header.Obj_id.value(), 3u);
  EXPECT_EQ(std::string(header.Src_name.data(), header.Src_name.textLength()), "report.xml");
  EXPECT_EQ(header.Is_log.bytes[0], 'Y');
  EXPECT_EQ(header.Tgt_id.value(), 9u);
  EXPECT_EQ(std::string(header.Tgt_type.bytes, 8), "FILE    ");
  EXPECT_EQ(std::string(header.Tgt_path.data(), header.Tgt_path.textLength()), "new(/out/)old");
  EXPECT_EQ(std::string(header.Tgt_crtmod.bytes, 9), "REPLACE  ");
  EXPECT_EQ(std::string(header.Options.data(), header.Options.textLength()), "-garbage DEFER");
  EXPECT_TRUE(isValidTGTDESC(header));

  r.srcName = "given";
  buildDeliveryHeader(source, r, &header);
  EXPECT_EQ(std::string(header.Src_name.data(), header.Src_name.textLength()), "given");
}

}  // namespace
}  // namespace route
