// qfeed loading files end to end: segments, header, status records, pings, the XML check with
// its transfer report and reject folder, and the normal end on get-inhibit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/records.h"
#include "tests/qfeed/qfeed_fixture.h"

namespace {

std::string pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return data;
}

std::string msgId(const Message& m) {
  return std::string(reinterpret_cast<const char*>(m.md.MsgId), 24);
}
std::string correlId(const Message& m) {
  return std::string(reinterpret_cast<const char*>(m.md.CorrelId), 24);
}

// Gets one file group (segments then header) and checks its shape; returns the MsgId.
std::string expectGroup(QfeedTest* test, const std::string& content, uint32_t srcId,
                        const std::string& path,
                        bool (QfeedTest::*get)(const char*, Message*, int)) {
  const uint32_t segments = static_cast<uint32_t>((content.size() + 24574) / 24575);
  std::string joined;
  std::string id;
  for (uint32_t n = 1; n <= segments; ++n) {
    Message m;
    EXPECT_TRUE((test->*get)("RECV", &m, 20000)) << "segment " << n;
    if (n == 1) id = msgId(m);
    EXPECT_EQ(correlId(m), segmentCorrelId(n));
    EXPECT_EQ(msgId(m), id);
    EXPECT_EQ(m.data.size(), n < segments ? 24575u : content.size() - 24575u * (segments - 1));
    EXPECT_EQ(std::string(m.md.Format, 8), "        ");
    EXPECT_EQ(m.md.Persistence, MQPER_PERSISTENT);
    joined += m.data;
  }
  EXPECT_TRUE(joined == content) << "content differs";
  Message header;
  EXPECT_TRUE((test->*get)("RECV", &header, 20000));
  if (segments == 0) id = msgId(header);
  EXPECT_EQ(header.data, expectedSrcdesc(segments, srcId, path));
  EXPECT_EQ(correlId(header), segmentCorrelId(0));
  EXPECT_EQ(msgId(header), id);
  EXPECT_EQ(std::string(header.md.Format, 8), "MQSTR   ");
  return id;
}

class QfeedLoadTest : public QfeedTest {
 protected:
  std::string group(const std::string& content, uint32_t srcId, const std::string& path) {
    return expectGroup(this, content, srcId, path, &QfeedTest::getMessage);
  }
  void stopNormally() {
    inhibitGet("JOBS");
    EXPECT_EQ(waitAgent(20000), 0);
    EXPECT_TRUE(hasLine(" Normal exit."));
  }
};

TEST_F(QfeedLoadTest, LoadsFilesAsSegmentsAndHeaderWithStatusAndPing) {
  writeIni("");
  startAgent();
  // Two full segments and a short one, reported with an X status.
  const std::string big = pattern(2 * 24575 + 100, 7);
  const std::string bigPath = writeSource(sourceFolder("a"), "one.bin", big);
  putJob(sourceRoot_ + "/a/*.BIN", "-x \"y z\" -rcvrqname RECV", 'Y', 77);
  Message status;
  ASSERT_TRUE(getMessage("REPLY", &status, 20000));
  const std::string comment = "File '" + bigPath + "' was loaded successfully.";
  EXPECT_EQ(status.data, expectedLoadStatus(77, 'X', comment));
  EXPECT_EQ(status.data.size(), 25 + comment.size());
  EXPECT_EQ(msgId(status), group(big, 77, bigPath));
  EXPECT_TRUE(waitGone(bigPath));

  // Exactly one segment, and an empty file with a header only; no status without Is_log Y.
  const std::string exact = pattern(24575, 3);
  const std::string exactPath = writeSource(sourceFolder("b"), "exact.dat", exact);
  // Written as on Windows: '\\' separates, and a '?' before the dot may match nothing. The
  // receiver queue carries over.
  putJob(sourceRoot_ + "\\b\\exact?.dat", "", 'N', 78);
  group(exact, 78, exactPath);
  const std::string emptyPath = writeSource(sourceFolder("c"), "empty.dat", "");
  putJob(sourceRoot_ + "/c/*", "-rcvrqname RECV", 'n', 79);
  group("", 79, emptyPath);
  Message none;
  EXPECT_FALSE(getMessage("REPLY", &none, 0));

  // A ping comes back unchanged.
  std::string ping =
      "KVPN" + nineDigits(1) + nineDigits(5) + std::string(26, 'S') + std::string(26, ' ');
  putPing(ping, "REPLY");
  Message reply;
  ASSERT_TRUE(getMessage("REPLY", &reply, 20000));
  EXPECT_EQ(reply.data, ping);
  EXPECT_EQ(correlId(reply), segmentCorrelId(0));

  stopNormally();
  for (const std::string& line :
       {" File found  : " + bigPath, " Open file   : " + bigPath, " Close file  : " + bigPath,
        " Delete file : " + bigPath, std::string(" SRCINFO:"), std::string(" SRCDESC:"),
        std::string(" LOAD_STATUS:"), std::string(" PING:"),
        std::string(" Connect to Queue Manager successful."),
        std::string(" TX-KV load agent for files has started."),
        std::string("     SrcQueue          = JOBS")}) {
    EXPECT_TRUE(hasLine(line)) << line;
  }
  EXPECT_TRUE(hasLine(" Close file  : " + bigPath, true));
  EXPECT_TRUE(logLines().at(0).empty());  // the banner starts with an empty line
}

TEST_F(QfeedLoadTest, ChecksXmlWritesTheReportAndRejectsBadFiles) {
  writeIni(logRoot_);
  startAgent();
  const std::string header = "<?xml version = '1.0' encoding = 'windows-1251'?>\r\n";
  const std::string good = header +
                           "<ROWSET><ROW><PERSON><REGNUM>1234567890123</REGNUM></PERSON><MSG>"
                           "<MSGNUM>42</MSGNUM><MSGDATE>12.03.2007</MSGDATE><MSGTYPE>A</MSGTYPE>"
                           "</MSG></ROW>\r\n<ROW><PERSON><REGNUM>R2</REGNUM></PERSON><MSG>"
                           "<MSGNUM>7</MSGNUM><MSGDATE>01.02.2003</MSGDATE><MSGTYPE>B</MSGTYPE>"
                           "</MSG></ROW></ROWSET>\r\n";
  const std::string goodPath = writeSource(sourceFolder("x"), "good.xml", good);
  putJob(sourceRoot_ + "/x/*.xml", "-rcvrqname RECV", 'Y', 5);
  Message status;
  ASSERT_TRUE(getMessage("REPLY", &status, 20000));
  EXPECT_EQ(status.data[23], 'X');
  group(good, 5, goodPath);

  char day[32];
  const time_t now = time(nullptr);
  strftime(day, sizeof day, "%d%m%Y.log", localtime(&now));
  const std::string reportPath = logRoot_ + "/" + day;
  std::string report = readFile(reportPath);
  ASSERT_GT(report.size(), 40u);
  const size_t dateEnd = report.find('\n', 31);
  EXPECT_EQ(report.substr(0, 31), "Adapter PRM TLQ ZN version 1.0\n");
  EXPECT_EQ(report.substr(31, 6), "Date: ");
  EXPECT_EQ(dateEnd - 37, 17u);  // ddmmyyyy hh:mm:ss
  EXPECT_EQ(report.substr(dateEnd + 1),
            "Following data was transferred:\n"
            "1234567890123 00004212032007(A)\n"
            "R2            00000701022003(B)\n"
            "End of data.\n");

  // A file that fails the check: backed out, no status, moved to the reject folder.
  const std::string bad = header + "<ROWSET>" +
                          "<ROW><PERSON><REGNUM>R</REGNUM></PERSON><MSG><MSGNUM>0</MSGNUM>"
                          "<MSGDATE>01.01.2001</MSGDATE><MSGTYPE>A</MSGTYPE></MSG></ROW>"
                          "</ROWSET>";
  const std::string badPath = writeSource(sourceFolder("y"), "bad.xml", bad);
  putJob(sourceRoot_ + "/y/*.xml", "-rcvrqname RECV", 'Y', 6);
  ASSERT_TRUE(waitForText("' was moved to '", 20000));
  EXPECT_NE(access(badPath.c_str(), F_OK), 0);
  EXPECT_EQ(readFile(logRoot_ + "/rejected/bad.xml"), bad);
  EXPECT_TRUE(hasLine(" File " + badPath + " was not loaded bad XML", true));
  EXPECT_TRUE(
      readFile(reportPath)
          .ends_with("Following data was transferred:\n"
                     "Error: File was not transferred because MSGNUM empty or not exist\n"));

  stopNormally();
  EXPECT_EQ(depth("RECV"), 0);
  Message none;
  EXPECT_FALSE(getMessage("REPLY", &none, 0));
}

TEST_F(QfeedLoadTest, ReadOnlyFileIsLoadedAndFileInUseIsNot) {
  writeIni("", "JOBS", 100, 60000);
  const std::string folder = sourceFolder("r");
  const std::string readOnly = writeSource(folder, "ro.dat", "read only");
  chmod(readOnly.c_str(), 0444);
  startAgent();
  putJob(folder + "/ro.dat", "-rcvrqname RECV", 'N', 1);
  group("read only", 1, readOnly);
  EXPECT_TRUE(hasLine(" Read Only attr of '" + readOnly + "' was disabled by agent."));

  const std::string busy = writeSource(sourceFolder("w"), "busy.dat", "in use");
  const int writer = open(busy.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  putJob(sourceRoot_ + "/w/*", "-rcvrqname RECV", 'N', 2);
  const std::string delayed =
      " Processig delayed for file '" + busy + "' due to system error. Search for next file.";
  ASSERT_TRUE(waitForText(delayed, 20000, true));
  EXPECT_EQ(access(busy.c_str(), F_OK), 0);
  close(writer);
  putJob(sourceRoot_ + "/w/*", "-rcvrqname RECV", 'N', 3);
  group("in use", 3, busy);
  stopNormally();
  EXPECT_TRUE(hasLine(delayed));
}

}  // namespace
