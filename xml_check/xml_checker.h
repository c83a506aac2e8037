// The XML check of the load agent: reads one file once, character by character, tests its
// header line and the nesting of its tags, captures the four values of each ROW and writes a
// row line per accepted row into the report stream it is given. The first fault ends the check
// with an XMLException.
//
// Not a general XML parser: end tags are counted, not matched; entities, attributes and
// character sets are not looked at. Input is read as a text stream of the original system: a
// carriage return that precedes a line feed is not delivered.
//
// Capacities: 30 nesting levels, 999 characters between '<' and '>' of a start tag, 1023
// characters of captured field text. Input beyond them is rejected with an XMLException that
// names the limit; nothing is ever written past a buffer.
#ifndef QT_XML_CHECK_XML_CHECKER_H
#define QT_XML_CHECK_XML_CHECKER_H

#include <cstdint>
#include <fstream>
#include <ostream>

#include "xml_check/row_record.h"
#include "xml_check/xml_exception.h"

class XMLChecker {
 public:
  static constexpr int kMaxDepth = 30;
  static constexpr int kNameSize = 1000;  // 999 characters and a NUL
  static constexpr int kTextSize = 1024;  // 1023 characters and a NUL

  // Row lines go to `report`, which must outlive the checker.
  explicit XMLChecker(std::ostream& report);
  // Tests the whole file opened with OpenInput; returns on success, throws XMLException on
  // the first fault. A file that could not be opened reads as empty ("bad XML header").
  virtual void Run();
  virtual ~XMLChecker();

  // Opens the input for reading in text mode; false when the file cannot be opened.
  bool OpenInput(const char* path);

 protected:
  virtual void OnEndTag();
  virtual void OnStartTag();
  virtual bool CheckHeader();

  int32_t depth;
  std::ifstream input;
  RowRecord row;
  char regnumText[kTextSize];
  char msgnumText[kTextSize];
  char msgdateText[kTextSize];
  char msgtypeText[kTextSize];
  char openNames[kMaxDepth][kNameSize];

 private:
  enum class Field { kNone, kRegnum, kMsgnum, kMsgdate, kMsgtype };

  void Scan();
  int ReadChar();
  void PutBack(int c) { pending_ = c; }
  bool AtEnd() const { return atEnd_ && pending_ < 0; }
  void SkipDeclaration();
  int ReadTagInto(char* slot, int* used);
  // Fills a slot with NULs; only its used bytes can be other than NUL.
  static void ClearSlot(char* slot, int* used);
  Field CurrentField();
  void ReadField(Field field);
  void CheckRow();

  std::ostream& report_;
  std::streambuf* source_ = nullptr;
  int pending_ = -1;         // one character put back, or -1
  bool atEnd_ = false;       // a read has met the end of the file
  bool fieldKnown_ = false;  // field_ matches the open-name slots
  Field field_ = Field::kNone;
  char overflowName_[kNameSize];  // a start tag met at the deepest level
  // How many leading bytes of each slot may be non-NUL: clearing a slot touches only those,
  // which keeps the scan fast on documents with many short tags.
  int used_[kMaxDepth] = {};
  int overflowUsed_ = 0;
  char ioBuffer_[65536];
};

#endif  // QT_XML_CHECK_XML_CHECKER_H
