#include "xml_check/row_record.h"

#include <cstring>

void RowRecord::reset() {
  REGNUM.assign(nullptr);
  MSGNUM.assign(0);
  MSGDATE.assign(nullptr);
  OpenParen.assign("(");
  MSGTYPE.assign(nullptr);
  CloseParen.assign(")");
  terminator = '\0';
}

void RowRecord::setRegnum(const char* text) {
  REGNUM.assign(text);
}

void RowRecord::setMsgnum(const char* text) {
  MSGNUM.assign(static_cast<uint32_t>(readDecimal(text)));
}

void RowRecord::setMsgdate(const char* text) {
  while (*text == ' ') ++text;
  // Keep at most ten characters and drop the two separators of DD.MM.YYYY (positions 3, 6).
  char date[11];
  size_t kept = 0;
  for (size_t i = 0; i < 10 && text[i] != '\0'; ++i) {
    if (i == 2 || i == 5) continue;
    date[kept++] = text[i];
  }
  date[kept] = '\0';
  MSGDATE.assign(date);
}

void RowRecord::setMsgtype(const char* text) {
  const char first[2] = {text[0], '\0'};
  MSGTYPE.assign(first);
}
