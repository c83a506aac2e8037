// The row record of the transfer report: the four values captured from one ROW of a loaded
// XML file, laid out as a 31-character line and a NUL:
//   REGNUM (14, blank-padded) MSGNUM (6 digits) MSGDATE (8, DDMMYYYY) '(' MSGTYPE (1) ')'
#ifndef QT_XML_CHECK_ROW_RECORD_H
#define QT_XML_CHECK_ROW_RECORD_H

#include <cstdint>

#include "common/records.h"

#pragma pack(push, 1)
struct RowRecord {
  CharField<14> REGNUM;
  NumFieldT<6> MSGNUM;
  CharField<8> MSGDATE;
  CharField<1> OpenParen;
  CharField<1> MSGTYPE;
  CharField<1> CloseParen;
  char terminator;

  // Blanks, 000000, blanks, "(", blank, ")" and the NUL.
  void reset();
  // The 31 characters of the row line, NUL-terminated.
  const char* text() const { return REGNUM.data(); }

  // The conversions of the captured texts into the fields.
  void setRegnum(const char* text);
  void setMsgnum(const char* text);   // read like a C signed integer, kept modulo 10^6
  void setMsgdate(const char* text);  // "DD.MM.YYYY" becomes "DDMMYYYY"
  void setMsgtype(const char* text);  // first character only
};
#pragma pack(pop)

static_assert(sizeof(RowRecord) == 32);

#endif  // QT_XML_CHECK_ROW_RECORD_H
