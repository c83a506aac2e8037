#include "xml_check/xml_checker.h"

#include <cstring>
#include <ostream>

namespace {

constexpr char kHeaderText[] = "<?xml version = '1.0' encoding = 'windows-1251'?>";
constexpr char kTagsMessage[] = "inconsistency of the tags";

bool isAllBlank(const char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != ' ') return false;
  }
  return true;
}

}  // namespace

XMLChecker::XMLChecker(std::ostream& report) : depth(0), report_(report) {
  input.rdbuf()->pubsetbuf(ioBuffer_, sizeof ioBuffer_);
  row.reset();
  std::memset(regnumText, 0, sizeof regnumText);
  std::memset(msgnumText, 0, sizeof msgnumText);
  std::memset(msgdateText, 0, sizeof msgdateText);
  std::memset(msgtypeText, 0, sizeof msgtypeText);
  std::memset(openNames, 0, sizeof openNames);
  std::memset(overflowName_, 0, sizeof overflowName_);
}

XMLChecker::~XMLChecker() {
  std::memset(regnumText, 0, sizeof regnumText);
  std::memset(msgnumText, 0, sizeof msgnumText);
  std::memset(msgdateText, 0, sizeof msgdateText);
  std::memset(msgtypeText, 0, sizeof msgtypeText);
  std::memset(openNames, 0, sizeof openNames);
  row.reset();
  input.close();
}

bool XMLChecker::OpenInput(const char* path) {
  input.open(path, std::ios::in);
  return input.is_open();
}

// One character as the text stream delivers it: CR LF arrives as LF alone.
int XMLChecker::ReadChar() {
  if (pending_ >= 0) {
    const int c = pending_;
    pending_ = -1;
    return c;
  }
  if (source_ == nullptr || atEnd_) {
    atEnd_ = true;
    return EOF;
  }
  const int c = source_->sbumpc();
  if (c == EOF) {
    atEnd_ = true;
    return EOF;
  }
  if (c == '\r' && source_->sgetc() == '\n') {
    source_->sbumpc();
    return '\n';
  }
  return c;
}

bool XMLChecker::CheckHeader() {
  // The first line: at most 1023 characters up to the line feed, which is consumed.
  char line[1024];
  size_t length = 0;
  for (;;) {
    const int c = ReadChar();
    if (c == EOF || c == '\n') break;
    if (length == sizeof line - 1) {
      PutBack(c);
      break;
    }
    line[length++] = static_cast<char>(c);
  }
  line[length] = '\0';
  // A NUL inside the line ends the text that is searched, as it would in a C string.
  if (std::strstr(line, kHeaderText) == nullptr) throw XMLException("bad XML header");
  return true;
}

// Row lines are flushed together when the check ends, however it ends: the report then holds
// every accepted row, as if each had been flushed at once, without a write per row.
void XMLChecker::Run() {
  try {
    Scan();
  } catch (const XMLException&) {
    report_.flush();
    throw;
  }
  report_.flush();
}

void XMLChecker::Scan() {
  source_ = input.is_open() ? input.rdbuf() : nullptr;
  CheckHeader();
  for (;;) {
    if (AtEnd()) return;
    const int c = ReadChar();
    if (c == EOF) {
      if (depth != 0) throw XMLException(kTagsMessage);
      return;
    }
    if (c == '\n') continue;
    if (c == '<') {
      const int d = ReadChar();
      if (d == EOF) {
        if (depth != 0) throw XMLException(kTagsMessage);
        return;
      }
      if (d == '/') {
        OnEndTag();
      } else if (d == '!') {
        SkipDeclaration();
      } else {
        PutBack(d);
        OnStartTag();
      }
      continue;
    }
    const Field field = fieldKnown_ ? field_ : CurrentField();
    if (field != Field::kNone) {
      PutBack(c);
      ReadField(field);
    }
  }
}

// Reads up to and not including '>' into slot (kNameSize bytes, already NUL-filled). Returns
// 1 when the '>' was read, 0 at the end of the file.
int XMLChecker::ReadTagInto(char* slot, int* used) {
  for (;;) {
    const int c = ReadChar();
    if (c == EOF) return 0;
    if (c == '>') return 1;
    if (*used == kNameSize - 1) throw XMLException("tag longer than 999 characters");
    slot[(*used)++] = static_cast<char>(c);
  }
}

void XMLChecker::ClearSlot(char* slot, int* used) {
  std::memset(slot, 0, static_cast<size_t>(*used));
  *used = 0;
}

void XMLChecker::OnStartTag() {
  fieldKnown_ = false;
  // Past the deepest level there is no slot: a self-closing tag is still read and allowed,
  // anything that would open a 31st level is refused.
  char* slot = depth < kMaxDepth ? openNames[depth] : overflowName_;
  int* used = depth < kMaxDepth ? &used_[depth] : &overflowUsed_;
  ClearSlot(slot, used);
  if (ReadTagInto(slot, used) == 0) return;
  char* blank = static_cast<char*>(std::memchr(slot, ' ', static_cast<size_t>(*used)));
  if (blank != nullptr) {
    std::memset(blank, 0, static_cast<size_t>(slot + *used - blank));
    *used = static_cast<int>(blank - slot);
  }
  const size_t length = std::strlen(slot);
  if (depth == 2 && std::strcmp(slot, "ROW") == 0) row.reset();
  if (length > 0 && slot[length - 1] == '/') return;
  if (depth >= kMaxDepth) throw XMLException("elements nested deeper than 30 levels");
  ++depth;
}

void XMLChecker::OnEndTag() {
  fieldKnown_ = false;
  --depth;
  if (depth < 0) throw XMLException(kTagsMessage);
  for (;;) {
    const int c = ReadChar();
    if (c == EOF) return;
    if (c == '>') break;
  }
  if (depth == 1 && std::strcmp(openNames[1], "ROW") == 0) CheckRow();
  ClearSlot(openNames[depth], &used_[depth]);
}

void XMLChecker::SkipDeclaration() {
  for (;;) {
    const int c = ReadChar();
    if (c == EOF || c == '>') return;
  }
}

// The field whose path the open-name slots 0 to 3 spell, whatever the depth; cached between
// tags because character data is far more frequent than tags.
XMLChecker::Field XMLChecker::CurrentField() {
  if (fieldKnown_) return field_;
  fieldKnown_ = true;
  field_ = Field::kNone;
  if (std::strcmp(openNames[0], "ROWSET") != 0 || std::strcmp(openNames[1], "ROW") != 0) {
    return field_;
  }
  const char* parent = openNames[2];
  const char* name = openNames[3];
  if (std::strcmp(parent, "MSG") == 0) {
    if (std::strcmp(name, "MSGNUM") == 0) field_ = Field::kMsgnum;
    if (std::strcmp(name, "MSGDATE") == 0) field_ = Field::kMsgdate;
    if (std::strcmp(name, "MSGTYPE") == 0) field_ = Field::kMsgtype;
  } else if (std::strcmp(parent, "PERSON") == 0 && std::strcmp(name, "REGNUM") == 0) {
    field_ = Field::kRegnum;
  }
  return field_;
}

void XMLChecker::ReadField(Field field) {
  char* text = field == Field::kRegnum    ? regnumText
               : field == Field::kMsgnum  ? msgnumText
               : field == Field::kMsgdate ? msgdateText
                                          : msgtypeText;
  text[0] = '\0';
  int length = 0;
  for (;;) {
    const int c = ReadChar();
    if (c == EOF) return;  // text cut by the end of the file is not stored
    if (c == '<') {
      PutBack(c);
      break;
    }
    if (length == kTextSize - 1) throw XMLException("field text longer than 1023 characters");
    text[length++] = static_cast<char>(c);
  }
  text[length] = '\0';
  switch (field) {
    case Field::kRegnum:
      row.setRegnum(text);
      break;
    case Field::kMsgnum:
      row.setMsgnum(text);
      break;
    case Field::kMsgdate:
      row.setMsgdate(text);
      break;
    case Field::kMsgtype:
      row.setMsgtype(text);
      break;
    case Field::kNone:
      break;
  }
}

void XMLChecker::CheckRow() {
  if (isAllBlank(row.REGNUM.data(), sizeof row.REGNUM)) {
    throw XMLException("File was not transferred because REGNUM empty or not exist");
  }
  if (row.MSGNUM.value() == 0) {
    throw XMLException("File was not transferred because MSGNUM empty or not exist");
  }
  if (isAllBlank(row.MSGDATE.data(), sizeof row.MSGDATE)) {
    throw XMLException("File was not transferred because MSGDATE empty or not exist");
  }
  if (row.MSGTYPE.data()[0] == ' ') {
    throw XMLException("File was not transferred because MSGTYPE empty or not exist");
  }
  report_.write(row.text(), 31);
  report_.put('\n');
  row.reset();
}
