// The XML check: header line, tag nesting, capacities, field capture and the document rules.
#include "xml_check/xml_checker.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/test_folder.h"

namespace {

const std::string kHeader = "<?xml version = '1.0' encoding = 'windows-1251'?>\n";

std::string row(const std::string& regnum, const std::string& msgnum, const std::string& msgdate,
                const std::string& msgtype) {
  return "<ROW><PERSON><REGNUM>" + regnum + "</REGNUM></PERSON><MSG><MSGNUM>" + msgnum +
         "</MSGNUM><MSGDATE>" + msgdate + "</MSGDATE><MSGTYPE>" + msgtype +
         "</MSGTYPE></MSG></ROW>\n";
}

class XmlCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // Checks a document; returns the exception message, or "" when it passes. report_ receives
  // the row lines written.
  std::string check(const std::string& content) {
    const std::string input = dir_.write("in.xml", content);
    std::ofstream report(dir_ / "report.log", std::ios::out | std::ios::trunc);
    std::string message;
    {
      XMLChecker checker(report);
      checker.OpenInput(input.c_str());
      try {
        checker.Run();
      } catch (const XMLException& e) {
        message = e.message;
      }
    }
    report.close();
    // Read as written, in text mode: the lines end in CR LF on Windows.
    std::ifstream written(dir_ / "report.log");
    report_.assign(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>());
    return message;
  }

  TestFolder dir_{"xmlcheck"};
  std::string report_;
};

TEST_F(XmlCheckTest, HeaderLineMustHoldTheExactDeclaration) {
  EXPECT_EQ(check(""), "bad XML header");
  EXPECT_EQ(check("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"), "bad XML header");
  EXPECT_EQ(check("<?xml version = '1.0' encoding = 'Windows-1251'?>\n"), "bad XML header");
  EXPECT_EQ(check(kHeader), "");
  EXPECT_EQ(check("junk " + kHeader.substr(0, kHeader.size() - 1) + " more\n<A></A>\n"), "");
  EXPECT_EQ(check(kHeader.substr(0, kHeader.size() - 1)), "");  // no line feed at all
  // The declaration on the second line does not count.
  EXPECT_EQ(check("\n" + kHeader), "bad XML header");
}

TEST_F(XmlCheckTest, FileThatCannotBeOpenedReadsAsEmpty) {
  std::ostringstream report;
  XMLChecker checker(report);
  EXPECT_FALSE(checker.OpenInput((dir_ / "missing.xml").c_str()));
  try {
    checker.Run();
    FAIL() << "no exception";
  } catch (const XMLException& e) {
    EXPECT_STREQ(e.message, "bad XML header");
  }
}

TEST_F(XmlCheckTest, ElementsOnTheHeaderLineAreNotSeen) {
  EXPECT_EQ(check(kHeader.substr(0, kHeader.size() - 1) + "<ROWSET>\n</ROWSET>\n"),
            "inconsistency of the tags");
}

TEST_F(XmlCheckTest, TagsAreCountedNotMatched) {
  EXPECT_EQ(check(kHeader + "<A></B>\n"), "");
  EXPECT_EQ(check(kHeader + "<A><B></B>\n"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "</A>"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "<A></A></A>"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "<A>\n<"), "inconsistency of the tags");
  // Ending inside a tag, a declaration or captured text skips the final test.
  EXPECT_EQ(check(kHeader + "<A><B"), "");
  EXPECT_EQ(check(kHeader + "<A><!-- open"), "");
  EXPECT_EQ(check(kHeader + "<ROWSET><ROW><PERSON><REGNUM>12"), "");
}

TEST_F(XmlCheckTest, SelfClosingOnlyWithoutBlankBeforeSlash) {
  EXPECT_EQ(check(kHeader + "<A><MSGNUM/></A>"), "");
  EXPECT_EQ(check(kHeader + "<A><MSGNUM /></A>"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "<A><MSGNUM attr=\"1\"/></A>"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "<><//>"), "");  // an empty name opens a level
}

TEST_F(XmlCheckTest, DeclarationsEndAtTheirFirstGreaterThan) {
  EXPECT_EQ(check(kHeader + "<A><!-- a > b --></A>"), "");
  // The rest of the comment is scanned: "</B>" closes one level too many.
  EXPECT_EQ(check(kHeader + "<A><!-- a > </B> --></A>"), "inconsistency of the tags");
  EXPECT_EQ(check(kHeader + "<A><!DOCTYPE x><![CDATA[ x ]]></A>"), "");
}

TEST_F(XmlCheckTest, CrBeforeLfIsNotDelivered) {
  std::string crlf = "<?xml version = '1.0' encoding = 'windows-1251'?>\r\n<ROWSET>\r\n" +
                     row("R1\r\nR2", "5", "01.02.2003", "A") + "</ROWSET>\r\n";
  EXPECT_EQ(check(crlf), "");
  EXPECT_EQ(report_, "R1\nR2         00000501022003(A)\n");
  // A CR not followed by a LF is an ordinary character.
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row("A\rB", "1", "01.01.2001", "T") + "</ROWSET>"), "");
  EXPECT_EQ(report_, "A\rB           00000101012001(T)\n");
}

TEST_F(XmlCheckTest, AcceptedRowsBecomeReportLines) {
  EXPECT_EQ(check(kHeader + "<ROWSET>\n" + row("1234567890123", "42", "12.03.2007", "A") +
                  row("X", "7", " 01.02.2003", "BC") + "</ROWSET>\n"),
            "");
  EXPECT_EQ(report_,
            "1234567890123 00004212032007(A)\n"
            "X             00000701022003(B)\n");
  EXPECT_EQ(check(kHeader + "<ROWSET></ROWSET>"), "");
  EXPECT_EQ(report_, "");
}

TEST_F(XmlCheckTest, ExtraElementsAttributesAndOrderDoNotMatter) {
  const std::string doc = kHeader +
                          "<ROWSET a='1'><ROW id=\"9\"><X>junk</X><MSG><MSGTYPE>Z</MSGTYPE>"
                          "<MSGDATE>31.12.1999</MSGDATE><MSGNUM> 7</MSGNUM><Y/></MSG>"
                          "<PERSON kind='p'><REGNUM>ABC</REGNUM></PERSON></ROW></ROWSET>";
  EXPECT_EQ(check(doc), "");
  EXPECT_EQ(report_, "ABC           00000731121999(Z)\n");
}

TEST_F(XmlCheckTest, MissingValuesFailInTheirOrder) {
  const std::string noPerson =
      "<ROW><MSG><MSGDATE>01.01.2001</MSGDATE><MSGTYPE>A</MSGTYPE></MSG></ROW>";
  EXPECT_EQ(check(kHeader + "<ROWSET>" + noPerson + "</ROWSET>"),
            "File was not transferred because REGNUM empty or not exist");
  for (const char* bad : {"0", "abc", "1000000", ""}) {
    EXPECT_EQ(check(kHeader + "<ROWSET>" + row("R", bad, "01.01.2001", "A") + "</ROWSET>"),
              "File was not transferred because MSGNUM empty or not exist")
        << bad;
  }
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row("R", "1", "   ", "A") + "</ROWSET>"),
            "File was not transferred because MSGDATE empty or not exist");
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row("R", "1", "01.01.2001", " ") + "</ROWSET>"),
            "File was not transferred because MSGTYPE empty or not exist");
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row("   ", "1", "01.01.2001", "A") + "</ROWSET>"),
            "File was not transferred because REGNUM empty or not exist");
}

TEST_F(XmlCheckTest, RowsBeforeAFaultyRowAreAlreadyReported) {
  EXPECT_EQ(
      check(kHeader + "<ROWSET>" + row("GOOD", "1", "01.01.2001", "A") +
            row("BAD", "0", "01.01.2001", "A") + row("NEXT", "2", "01.01.2001", "A") + "</ROWSET>"),
      "File was not transferred because MSGNUM empty or not exist");
  EXPECT_EQ(report_, "GOOD          00000101012001(A)\n");
}

TEST_F(XmlCheckTest, FieldsUnderTheWrongParentAreNotCaptured) {
  EXPECT_EQ(
      check(kHeader + "<ROWSET><ROW><PERSON><REGNUM>R</REGNUM><MSGNUM>5</MSGNUM></PERSON><MSG>"
                      "7<MSGDATE>01.01.2001</MSGDATE><MSGTYPE>A</MSGTYPE></MSG></ROW></ROWSET>"),
      "File was not transferred because MSGNUM empty or not exist");
}

TEST_F(XmlCheckTest, DocumentElementOtherThanRowsetCapturesNothing) {
  EXPECT_EQ(check(kHeader + "<DATA>" + row("R", "1", "01.01.2001", "A") + "</DATA>"),
            "File was not transferred because REGNUM empty or not exist");
}

TEST_F(XmlCheckTest, NestedRowResetsTheEnclosingRow) {
  EXPECT_EQ(
      check(kHeader + "<ROWSET><ROW><PERSON><REGNUM>R</REGNUM></PERSON><MSG><MSGNUM>1</MSGNUM>"
                      "<MSGDATE>01.01.2001</MSGDATE><MSGTYPE>A</MSGTYPE></MSG><ROW></ROW></ROW>"
                      "</ROWSET>"),
      "File was not transferred because REGNUM empty or not exist");
}

TEST_F(XmlCheckTest, FieldTextRulesAndLastRunWins) {
  // Leading line feeds are dropped by the main scan; the last run of text wins; text nested
  // inside a field element counts; long REGNUM is cut to 14.
  EXPECT_EQ(
      check(kHeader + "<ROWSET><ROW><PERSON><REGNUM>\n\nFIRST<!-- c -->123456789012345678"
                      "</REGNUM></PERSON><MSG><MSGNUM><B>-1</B></MSGNUM><MSGDATE>1.2</MSGDATE>"
                      "<MSGTYPE>\x01</MSGTYPE></MSG></ROW></ROWSET>"),
      "");
  EXPECT_EQ(report_,
            "12345678901234"
            "967295"
            "1.      "
            "(\x01)\n");
}

TEST_F(XmlCheckTest, CapacitiesAreRefusedWithTheirLimit) {
  std::string deep;
  for (int i = 0; i < 30; ++i) deep += "<L>";
  std::string close;
  for (int i = 0; i < 30; ++i) close += "</L>";
  EXPECT_EQ(check(kHeader + deep + "<S/>" + close), "");  // 30 levels and a self-closing tag
  EXPECT_EQ(check(kHeader + deep + "<L>"), "elements nested deeper than 30 levels");

  const std::string name999(999, 'N');
  EXPECT_EQ(check(kHeader + "<" + name999 + "></x>"), "");
  EXPECT_EQ(check(kHeader + "<" + name999 + "N></x>"), "tag longer than 999 characters");

  const std::string text1023(1023, 'T');
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row(text1023, "1", "01.01.2001", "A") + "</ROWSET>"), "");
  EXPECT_EQ(check(kHeader + "<ROWSET>" + row(text1023 + "T", "1", "01.01.2001", "A") + "</ROWSET>"),
            "field text longer than 1023 characters");
}

TEST_F(XmlCheckTest, LongFirstLineLeavesItsRestToTheScan) {
  // 1023 characters of header line are consumed; the rest is scanned as ordinary input.
  std::string first = kHeader.substr(0, kHeader.size() - 1);
  first += std::string(1023 - first.size(), ' ');
  EXPECT_EQ(check(first + "</A>\n"), "inconsistency of the tags");
  EXPECT_EQ(check(first + "\n</A>\n"), "inconsistency of the tags");
  EXPECT_EQ(check(first + "\n<A></A>\n"), "");
}

TEST(XmlExceptionTest, MessageIsCutAndPrinted) {
  const std::string longText(200, 'm');
  XMLException e(longText.c_str());
  EXPECT_EQ(std::string(e.message), std::string(79, 'm'));
  XMLException copy(e);
  std::ostringstream out;
  out << copy;
  EXPECT_EQ(out.str(), "Error: " + std::string(79, 'm') + "\n");
}

TEST(RowRecordTest, ConversionsAndResetState) {
  RowRecord r;
  r.reset();
  EXPECT_EQ(std::string(r.text()), "              000000        ( )");
  r.setMsgnum("1234567");
  EXPECT_EQ(std::string(r.text(), 14, 6), "234567");
  r.setMsgnum("-1");
  EXPECT_EQ(std::string(r.text(), 14, 6), "967295");
  r.setMsgdate(" 12.03.2007xyz");
  EXPECT_EQ(std::string(r.text(), 20, 8), "12032007");
  r.setMsgdate("1");
  EXPECT_EQ(std::string(r.text(), 20, 8), "1       ");
}

}  // namespace
