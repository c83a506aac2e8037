#include "common/records.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"

namespace {

template <typename Record>
std::string bytesOf(const Record& record) {
  return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

std::string blanks(size_t n) {
  return std::string(n, ' ');
}
std::string quoted(const std::string& text) {
  return "'" + text + "'";
}
std::string number(const char* digits) {
  return std::string(" ") + digits;
}
const char* const kZero = "000000000";

// ---- byte images and layouts --------------------------------------------------------------

TEST(RecordLayoutTest, InitialisersGiveTheDocumentedBytes) {
  SRCDESC desc;
  std::memset(&desc, 'x', sizeof desc);
  initSRCDESC(desc);
  EXPECT_EQ(bytesOf(desc), std::string("KVDT000000001") + kZero + kZero + "FILE    " + blanks(254) +
                               blanks(5) + kZero + " N" + kZero + kZero + "N" + kZero);
  PING ping;
  std::memset(&ping, 'x', sizeof ping);
  initPING(ping);
  EXPECT_EQ(bytesOf(ping), std::string("KVPN000000001") + kZero + blanks(52));

  SRCINFO info;
  std::memset(&info, 'x', sizeof info);
  initSRCINFO(info);
  EXPECT_EQ(bytesOf(info), blanks(4) + kZero + kZero + blanks(262) + kZero + kZero + "  " + kZero +
                               kZero + kZero + blanks(256));
  TGTDESC tgt;
  std::memset(&tgt, 'x', sizeof tgt);
  initTGTDESC(tgt);
  std::string tgtBytes = bytesOf(tgt);
  EXPECT_EQ(tgtBytes.substr(0, 13), blanks(4) + kZero);  // no StructId, Version 0
  EXPECT_EQ(tgtBytes.find('x'), std::string::npos);
  EXPECT_EQ(tgtBytes.substr(1291 - 577), blanks(577));

  LOAD_STATUS load;
  std::memset(&load, 'x', sizeof load);
  initLOAD_STATUS(load);
  EXPECT_EQ(bytesOf(load), blanks(4) + kZero + kZero + blanks(1028));
  DLVR_STATUS dlvr;
  std::memset(&dlvr, 'x', sizeof dlvr);
  initDLVR_STATUS(dlvr);
  EXPECT_EQ(bytesOf(dlvr),
            blanks(4) + kZero + kZero + " " + kZero + blanks(9) + kZero + blanks(1030));
}

TEST(RecordLayoutTest, FieldOffsets) {
  EXPECT_EQ(offsetof(SRCINFO, Src_type), 22u);
  EXPECT_EQ(offsetof(SRCINFO, Src_path), 30u);
  EXPECT_EQ(offsetof(SRCINFO, Src_ccsid), 284u);
  EXPECT_EQ(offsetof(SRCINFO, Is_log), 302u);
  EXPECT_EQ(offsetof(SRCINFO, Pack_size), 304u);
  EXPECT_EQ(offsetof(SRCINFO, Is_fr), 331u);
  EXPECT_EQ(offsetof(SRCINFO, Options), 332u);

  EXPECT_EQ(offsetof(SRCDESC, Src_type), 31u);
  EXPECT_EQ(offsetof(SRCDESC, Src_recfm), 293u);
  EXPECT_EQ(offsetof(SRCDESC, Reserved), 307u);
  EXPECT_EQ(offsetof(SRCDESC, Packed), 308u);
  EXPECT_EQ(offsetof(SRCDESC, Is_fr), 327u);
  EXPECT_EQ(offsetof(SRCDESC, Fr_fullqty), 328u);

  EXPECT_EQ(offsetof(TGTDESC, Fr_fullqty), offsetof(SRCDESC, Fr_fullqty));
  EXPECT_EQ(offsetof(TGTDESC, Obj_id), 337u);
  EXPECT_EQ(offsetof(TGTDESC, Src_name), 346u);
  EXPECT_EQ(offsetof(TGTDESC, Is_log), 410u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_id), 411u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_type), 420u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_path), 428u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_recfm), 682u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_lrecl), 687u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_ccsid), 696u);
  EXPECT_EQ(offsetof(TGTDESC, Tgt_crtmod), 705u);
  EXPECT_EQ(offsetof(TGTDESC, Options), 714u);

  EXPECT_EQ(offsetof(LOAD_STATUS, State), 23u);
  EXPECT_EQ(offsetof(LOAD_STATUS, Comments), 25u);
  EXPECT_EQ(offsetof(DLVR_STATUS, Tgt_id), 23u);
  EXPECT_EQ(offsetof(DLVR_STATUS, Reserved2), 32u);
  EXPECT_EQ(offsetof(DLVR_STATUS, Dp_id), 41u);
  EXPECT_EQ(offsetof(DLVR_STATUS, State), 51u);
  EXPECT_EQ(offsetof(DLVR_STATUS, Comments), 53u);
  EXPECT_EQ(offsetof(PING, SendTms), 22u);
  EXPECT_EQ(offsetof(PING, DlvrTms), 48u);
}

// ---- field operations ---------------------------------------------------------------------

TEST(CharFieldTest, AssignCutsPadsAndBlanks) {
  CharField<8> type;
  type.assign("ABCDEFGHIJ");
  EXPECT_EQ(std::string(type.bytes, 8), "ABCDEFGH");
  CharField<4> id;
  id.assign("KV");
  EXPECT_EQ(std::string(id.bytes, 4), "KV  ");
  id.assign(nullptr);
  EXPECT_EQ(std::string(id.bytes, 4), "    ");
  id.assign("");
  EXPECT_EQ(std::string(id.bytes, 4), "    ");
}

TEST(CharFieldTest, TextLengthAndTerminate) {
  CharField<8> field;
  std::memcpy(field.bytes, "AB  \0XYZ", 8);
  EXPECT_EQ(field.textLength(), 4u);  // the NUL ends the scan where it stands
  field.assign("A B");
  EXPECT_EQ(field.textLength(), 3u);
  EXPECT_STREQ(field.terminate(), "A B");
  field.assign(nullptr);
  EXPECT_EQ(field.textLength(), 0u);
  EXPECT_EQ(field.terminate()[0], '\0');
  field.assign("12345678");
  EXPECT_EQ(field.textLength(), 8u);
  EXPECT_EQ(field.terminate(), field.data());
  EXPECT_EQ(std::string(field.bytes, 8), "12345678");  // full: left unterminated
}

TEST(CharFieldTest, EqualsPadsTheTextAndStopsAtANul) {
  CharField<4> id;
  id.assign("KVPN");
  EXPECT_TRUE(id.equals("KVPN"));
  EXPECT_FALSE(id.equals("KVDT"));
  id.assign("KVP");
  EXPECT_FALSE(id.equals("KVPN"));
  EXPECT_TRUE(id.equals("KVP"));
  EXPECT_FALSE(id.equals("KV"));
  std::memcpy(id.bytes, "\0XYZ", 4);
  EXPECT_TRUE(id.equals("KVPN"));
  std::memcpy(id.bytes, "KV\0Z", 4);
  EXPECT_TRUE(id.equals("KVPN"));
  EXPECT_FALSE(id.equals("KXPN"));
}

TEST(NumFieldTest, AssignValueAndValidity) {
  NumField field;
  field.assign(1234567890u);
  EXPECT_EQ(std::string(field.bytes, 9), "234567890");
  field.assign(12);
  EXPECT_EQ(std::string(field.bytes, 9), "000000012");
  EXPECT_EQ(field.value(), 12u);
  EXPECT_TRUE(field.isValid());
  std::memcpy(field.bytes, "       12", 9);
  EXPECT_EQ(field.value(), 12u);
  EXPECT_FALSE(field.isValid());
  std::memcpy(field.bytes, "12       ", 9);
  EXPECT_EQ(field.value(), 120000000u);
  std::memcpy(field.bytes, "00000001A", 9);  // 'A' - '0' = 0x11: adds 1
  EXPECT_EQ(field.value(), 11u);
  std::memcpy(field.bytes, "99999999/", 9);  // '/' - '0' wraps: adds 0xF
  EXPECT_EQ(field.value(), 999999990u + 15u);
  EXPECT_FALSE(field.isValid());

  NumFieldT<6> row;
  row.assign(1234567);
  EXPECT_EQ(std::string(row.bytes, 6), "234567");
  EXPECT_EQ(row.value(), 234567u);
}

TEST(DecimalTextTest, ReadLikeTheCLibraryWrappingInsteadOfOverflowing) {
  EXPECT_EQ(readDecimal("abc"), 0);
  EXPECT_EQ(readDecimal(""), 0);
  EXPECT_EQ(readDecimal("  -250ms"), -250);
  EXPECT_EQ(readDecimal("+17"), 17);
  EXPECT_EQ(readDecimal("\t42"), 42);
  EXPECT_EQ(readDecimal("  +12abc"), 12);
  EXPECT_EQ(readDecimal("4294967297"), 1);
}

TEST(FieldOutputTest, DumpValueFormats) {
  std::ostringstream out;
  NumField number;
  number.assign(1);
  out << number << '|';
  std::memcpy(number.bytes, "00000001 ", 9);
  out << number << '|';
  CharField<8> type;
  type.assign("FILE");
  out << type << '|';
  type.bytes[0] = '\0';
  out << type << '|';
  CharField<254> path;
  path.assign(std::string(300, 'p').c_str());
  out << path;
  EXPECT_EQ(out.str(), " 000000001| 00000001  !!! Invalid data found. !!!|'FILE    '|''|'" +
                           std::string(254, 'p') + "'");
}

// ---- dumps --------------------------------------------------------------------------------

struct DumpResult {
  std::string dump;
  std::string standardOutput;
  std::string stamp;
};

// Dumps a record within one second, capturing what reaches standard output meanwhile.
template <typename Record>
DumpResult dumpOf(const Record& record) {
  for (;;) {
    std::ostringstream out;
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    time_t before = time(nullptr);
    dumpRecord(out, record);
    std::string stamp = logTimestamp();
    bool sameSecond = time(nullptr) == before;
    std::cout.rdbuf(old);
    if (sameSecond) return {out.str(), captured.str(), stamp};
  }
}

std::string expectedDump(const std::string& stamp, const char* header,
                         const std::vector<std::pair<const char*, std::string>>& lines) {
  std::string text = stamp + header;
  for (const auto& [label, value] : lines) text += stamp + label + value + "\n";
  return text;
}

std::vector<std::pair<const char*, std::string>> dataPartLines(const char* id, const char* version,
                                                               const char* type, const char* flag) {
  return {{"  StructId   = ", quoted(id)},        {"  Version    = ", number(version)},
          {"  MaxSeq     = ", number(kZero)},     {"  Src_id     = ", number(kZero)},
          {"  Src_type   = ", quoted(type)},      {"  Src_path   = ", quoted(blanks(254))},
          {"  Src_recfm  = ", quoted(blanks(5))}, {"  Src_lrecl  = ", number(kZero)},
          {"  Reserved   = ", quoted(" ")},       {"  Packed     = ", quoted(flag)},
          {"  Seqno      = ", number(kZero)},     {"  Generation = ", number(kZero)},
          {"  Is_fr      = ", quoted(flag)},      {"  Fr_fullqty = ", number(kZero)}};
}

TEST(DumpTest, SrcinfoAndSrcdesc) {
  SRCINFO info;
  initSRCINFO(info);
  DumpResult result = dumpOf(info);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " SRCINFO:\n",
                                      {{"  StructId   = ", quoted(blanks(4))},
                                       {"  Version    = ", number(kZero)},
                                       {"  Src_id     = ", number(kZero)},
                                       {"  Src_type   = ", quoted(blanks(8))},
                                       {"  Src_path   = ", quoted(blanks(254))},
                                       {"  Src_ccsid  = ", number(kZero)},
                                       {"  Priority   = ", number(kZero)},
                                       {"  Is_log     = ", quoted(" ")},
                                       {"  Is_pack    = ", quoted(" ")},
                                       {"  Pack_size  = ", number(kZero)},
                                       {"  Seqno      = ", number(kZero)},
                                       {"  Generation = ", number(kZero)},
                                       {"  Is_fr      = ", quoted(" ")},
                                       {"  Options    = ", quoted(blanks(255))}}));
  EXPECT_EQ(result.standardOutput, "");

  SRCDESC desc;
  initSRCDESC(desc);
  result = dumpOf(desc);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " SRCDESC:\n",
                                      dataPartLines("KVDT", "000000001", "FILE    ", "N")));
}

TEST(DumpTest, TgtdescWithItsVerdictOnStandardOutput) {
  TGTDESC tgt;
  initTGTDESC(tgt);
  auto lines = dataPartLines("    ", kZero, "        ", " ");
  const std::vector<std::pair<const char*, std::string>> delivery = {
      {"  Obj_id     = ", number(kZero)},      {"  Src_name   = ", quoted(blanks(64))},
      {"  Is_log     = ", quoted(" ")},        {"  Tgt_id     = ", number(kZero)},
      {"  Tgt_type   = ", quoted(blanks(8))},  {"  Tgt_path   = ", quoted(blanks(254))},
      {"  Tgt_recfm  = ", quoted(blanks(5))},  {"  Tgt_lrecl  = ", number(kZero)},
      {"  Tgt_ccsid  = ", number(kZero)},      {"  Tgt_crtmod = ", quoted(blanks(9))},
      {"  Options    = ", quoted(blanks(577))}};
  lines.insert(lines.end(), delivery.begin(), delivery.end());
  DumpResult result = dumpOf(tgt);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " TGTDESC:\n", lines));
  EXPECT_EQ(result.standardOutput, result.stamp + " TGTDESC valid.\n");

  std::memcpy(tgt.Obj_id.bytes, "         ", 9);  // blanks are no digits
  result = dumpOf(tgt);
  EXPECT_NE(result.dump.find(std::string("  Obj_id     =  ") + blanks(9) +
                             " !!! Invalid data found. !!!\n"),
            std::string::npos);
  EXPECT_EQ(result.standardOutput, result.stamp + " TGTDESC invalid.\n");
}

TEST(DumpTest, StatusRecordsAndPing) {
  LOAD_STATUS load;
  initLOAD_STATUS(load);
  load.State.assign("X");
  DumpResult result = dumpOf(load);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " LOAD_STATUS:\n",
                                      {{"  StructId   = ", quoted(blanks(4))},
                                       {"  Version    = ", number(kZero)},
                                       {"  Src_id     = ", number(kZero)},
                                       {"  Reserved1  = ", quoted(" ")},
                                       {"  State      = ", quoted("X")},
                                       {"  Reserved2  = ", quoted(" ")},
                                       {"  Comments   = ", quoted(blanks(1025))}}));
  DLVR_STATUS dlvr;
  initDLVR_STATUS(dlvr);
  dlvr.Comments.assign("done");
  dlvr.Comments.terminate();
  result = dumpOf(dlvr);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " DLVR_STATUS:\n",
                                      {{"  StructId   = ", quoted(blanks(4))},
                                       {"  Version    = ", number(kZero)},
                                       {"  Src_id     = ", number(kZero)},
                                       {"  Reserved1  = ", quoted(" ")},
                                       {"  Tgt_id     = ", number(kZero)},
                                       {"  Reserved2  = ", quoted(blanks(9))},
                                       {"  Dp_id      = ", number(kZero)},
                                       {"  Reserved3  = ", quoted(" ")},
                                       {"  State      = ", quoted(" ")},
                                       {"  Reserved4  = ", quoted(" ")},
                                       {"  Comments   = ", quoted("done")}}));
  PING ping;
  initPING(ping);
  result = dumpOf(ping);
  EXPECT_EQ(result.dump, expectedDump(result.stamp, " PING:\n",
                                      {{"  StructId   = ", quoted("KVPN")},
                                       {"  Version    = ", number("000000001")},
                                       {"  NodId      = ", number(kZero)},
                                       {"  SendTms    = ", quoted(blanks(26))},
                                       {"  DlvrTms    = ", quoted(blanks(26))}}));
}

TEST(ValidityTest, EveryNumericFieldOfTheDeliveryHeaderCounts) {
  NumField TGTDESC::*fields[] = {&TGTDESC::Version,    &TGTDESC::MaxSeq,   &TGTDESC::Src_id,
                                 &TGTDESC::Src_lrecl,  &TGTDESC::Seqno,    &TGTDESC::Generation,
                                 &TGTDESC::Fr_fullqty, &TGTDESC::Obj_id,   &TGTDESC::Tgt_id,
                                 &TGTDESC::Tgt_lrecl,  &TGTDESC::Tgt_ccsid};
  for (NumField TGTDESC::*field : fields) {
    TGTDESC tgt;
    initTGTDESC(tgt);
    EXPECT_TRUE(isValidTGTDESC(tgt));
    (tgt.*field).bytes[8] = ' ';
    EXPECT_FALSE(isValidTGTDESC(tgt));
  }
}

// ---- correlation identifiers and tokens ---------------------------------------------------

TEST(SegmentCorrelIdTest, LayoutAndRoundTrip) {
  MQBYTE24 id;
  setSegmentCorrelId(id, 0x01020304u);
  const unsigned char expected[24] = {0xDE, 0xDA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                      0,    0,    0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(id, expected, 24), 0);
  uint32_t segment = 7;
  EXPECT_TRUE(parseSegmentCorrelId(id, &segment));
  EXPECT_EQ(segment, 0x01020304u);
  setSegmentCorrelId(id, 0);
  EXPECT_TRUE(parseSegmentCorrelId(id, &segment));
  EXPECT_EQ(segment, 0u);
  id[10] = 1;
  EXPECT_FALSE(parseSegmentCorrelId(id, &segment));
  MQBYTE24 none = {};
  EXPECT_FALSE(parseSegmentCorrelId(none, &segment));
}

std::vector<std::string> tokensOf(const char* text) {
  std::vector<std::string> tokens;
  const char* position = text;
  while (*position != '\0') tokens.push_back(nextToken(text, &position));
  EXPECT_EQ(nextToken(text, &position), std::string());  // at the end: empty, stays there
  EXPECT_EQ(*position, '\0');
  return tokens;
}

TEST(NextTokenTest, BlanksQuotesAndTheEnd) {
  using Tokens = std::vector<std::string>;
  EXPECT_EQ(tokensOf("-rcvrqname \"QUEUE ONE\" -x"), (Tokens{"-rcvrqname", "QUEUE ONE", "-x"}));
  EXPECT_EQ(tokensOf("-garbage \"GQ\""), (Tokens{"-garbage", "GQ"}));
  EXPECT_EQ(tokensOf("  a\tb   c  "), (Tokens{"a\tb", "c", ""}));
  EXPECT_EQ(tokensOf("\"unclosed quote"), (Tokens{"unclosed quote"}));
  EXPECT_EQ(tokensOf("\"\" x"), (Tokens{"", "x"}));
  EXPECT_EQ(tokensOf(""), Tokens{});
}

TEST(NextTokenTest, ALongTokenIsCutNotOverflowed) {
  std::string text = std::string(600, 'q') + " next";
  const char* position = text.c_str();
  EXPECT_EQ(std::string(nextToken(text.c_str(), &position)), std::string(255, 'q'));
  EXPECT_EQ(std::string(nextToken(text.c_str(), &position)), "next");
}

}  // namespace
