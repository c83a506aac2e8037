// The six fixed-layout records that the agents exchange, their two field types, the segment
// correlation identifiers that tie a file's messages together, and the option token reader.
//
// A record is an exact byte image: fields of character data with no alignment or padding, so
// sizeof(record) is the sum of its field widths. Character fields are blank-padded text of a
// fixed width; numeric fields are decimal digits with leading zeros. No field operation
// allocates or fails.
#ifndef QT_COMMON_RECORDS_H
#define QT_COMMON_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>

#include "mqi/mqi.h"

// Blank-padded text of N bytes, with no terminating NUL.
template <size_t N>
struct CharField {
  char bytes[N];

  // Copies text up to its NUL or N bytes and blank-fills the rest; null text gives all blanks.
  void assign(const char* text);
  // Index of the first NUL within N, else one past the last non-blank (0 when all blank).
  size_t textLength() const;
  // Writes a NUL at textLength() when that is below N; returns data(). A full field stays
  // unterminated.
  char* terminate();
  char* data() { return bytes; }
  const char* data() const { return bytes; }
  // Position-by-position compare with text padded by blanks; stops "equal" at a NUL in the
  // field.
  bool equals(const char* text) const;
};

// Unsigned decimal of Digits bytes with leading zeros (9 in every record; 6 in the row record).
template <size_t Digits>
struct NumFieldT {
  char bytes[Digits];

  void assign(uint32_t n);  // n modulo 10^Digits
  uint32_t value() const;   // never fails: any byte adds its low four bits after -0x30
  bool isValid() const;     // every byte is '0'..'9'
};
using NumField = NumFieldT<9>;

template <size_t N>
std::ostream& operator<<(std::ostream& out, const CharField<N>& field);  // 'text'
template <size_t Digits>
std::ostream& operator<<(std::ostream& out, const NumFieldT<Digits>& field);  // " 000000001"

// ---- field operations (templates, so that every width has them) ----------------------

template <size_t N>
void CharField<N>::assign(const char* text) {
  size_t length = 0;
  if (text != nullptr) {
    while (length < N && text[length] != '\0') ++length;
    std::memcpy(bytes, text, length);
  }
  std::memset(bytes + length, ' ', N - length);
}

template <size_t N>
size_t CharField<N>::textLength() const {
  const void* nul = std::memchr(bytes, '\0', N);
  if (nul != nullptr) return static_cast<size_t>(static_cast<const char*>(nul) - bytes);
  size_t length = N;
  while (length > 0 && bytes[length - 1] == ' ') --length;
  return length;
}

template <size_t N>
char* CharField<N>::terminate() {
  size_t length = textLength();
  if (length < N) bytes[length] = '\0';
  return bytes;
}

template <size_t N>
bool CharField<N>::equals(const char* text) const {
  if (text == nullptr) text = "";
  bool textEnded = false;
  for (size_t i = 0; i < N; ++i) {
    if (bytes[i] == '\0') return true;
    if (!textEnded && text[i] == '\0') textEnded = true;
    if (bytes[i] != (textEnded ? ' ' : text[i])) return false;
  }
  return true;
}

template <size_t Digits>
void NumFieldT<Digits>::assign(uint32_t n) {
  for (size_t i = Digits; i > 0; --i) {
    bytes[i - 1] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
}

template <size_t Digits>
uint32_t NumFieldT<Digits>::value() const {
  uint32_t n = 0;
  for (size_t i = 0; i < Digits; ++i) {
    n = n * 10u + ((static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) - 0x30u) & 0x0Fu);
  }
  return n;
}

template <size_t Digits>
bool NumFieldT<Digits>::isValid() const {
  for (size_t i = 0; i < Digits; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return false;
  }
  return true;
}

template <size_t N>
std::ostream& operator<<(std::ostream& out, const CharField<N>& field) {
  const void* nul = std::memchr(field.bytes, '\0', N);
  size_t shown =
      nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field.bytes) : N;
  out << '\'';
  out.write(field.bytes, static_cast<std::streamsize>(shown));
  return out << '\'';
}

template <size_t Digits>
std::ostream& operator<<(std::ostream& out, const NumFieldT<Digits>& field) {
  out << ' ';
  out.write(field.bytes, static_cast<std::streamsize>(Digits));
  if (!field.isValid()) out << " !!! Invalid data found. !!!";
  return out;
}

#pragma pack(push, 1)
struct SRCINFO {
  CharField<4> StructId;
  NumField Version;
  NumField Src_id;
  CharField<8> Src_type;
  CharField<254> Src_path;
  NumField Src_ccsid;
  NumField Priority;
  CharField<1> Is_log;
  CharField<1> Is_pack;
  NumField Pack_size;
  NumField Seqno;
  NumField Generation;
  CharField<1> Is_fr;
  CharField<255> Options;
};

struct SRCDESC {
  CharField<4> StructId;
  NumField Version;
  NumField MaxSeq;
  NumField Src_id;
  CharField<8> Src_type;
  CharField<254> Src_path;
  CharField<5> Src_recfm;
  NumField Src_lrecl;
  CharField<1> Reserved;
  CharField<1> Packed;
  NumField Seqno;
  NumField Generation;
  CharField<1> Is_fr;
  NumField Fr_fullqty;
};

struct TGTDESC {
  // The first 337 bytes: the SRCDESC layout.
  CharField<4> StructId;
  NumField Version;
  NumField MaxSeq;
  NumField Src_id;
  CharField<8> Src_type;
  CharField<254> Src_path;
  CharField<5> Src_recfm;
  NumField Src_lrecl;
  CharField<1> Reserved;
  CharField<1> Packed;
  NumField Seqno;
  NumField Generation;
  CharField<1> Is_fr;
  NumField Fr_fullqty;
  // The delivery part.
  NumField Obj_id;
  CharField<64> Src_name;
  CharField<1> Is_log;
  NumField Tgt_id;
  CharField<8> Tgt_type;
  CharField<254> Tgt_path;
  CharField<5> Tgt_recfm;
  NumField Tgt_lrecl;
  NumField Tgt_ccsid;
  CharField<9> Tgt_crtmod;
  CharField<577> Options;
};

struct LOAD_STATUS {
  CharField<4> StructId;
  NumField Version;
  NumField Src_id;
  CharField<1> Reserved1;
  CharField<1> State;
  CharField<1> Reserved2;
  CharField<1025> Comments;
};

struct DLVR_STATUS {
  CharField<4> StructId;
  NumField Version;
  NumField Src_id;
  CharField<1> Reserved1;
  NumField Tgt_id;
  CharField<9> Reserved2;
  NumField Dp_id;
  CharField<1> Reserved3;
  CharField<1> State;
  CharField<1> Reserved4;
  CharField<1027> Comments;
};

struct PING {
  CharField<4> StructId;
  NumField Version;
  NumField NodId;
  CharField<26> SendTms;
  CharField<26> DlvrTms;
};
#pragma pack(pop)

static_assert(sizeof(SRCINFO) == 587);
static_assert(sizeof(SRCDESC) == 337);
static_assert(sizeof(TGTDESC) == 1291);
static_assert(sizeof(LOAD_STATUS) == 1050);
static_assert(sizeof(DLVR_STATUS) == 1080);
static_assert(sizeof(PING) == 74);

// Initialisers: every field from a null text or 0, then the record's own initial values.
void initSRCINFO(SRCINFO& record);
void initSRCDESC(SRCDESC& record);  // KVDT, Version 1, Src_type FILE, Packed N, Is_fr N
void initTGTDESC(TGTDESC& record);  // blanks and zeros, no StructId
void initLOAD_STATUS(LOAD_STATUS& record);
void initDLVR_STATUS(DLVR_STATUS& record);
void initPING(PING& record);  // KVPN, Version 1

// True when all eleven numeric fields hold digits only.
bool isValidTGTDESC(const TGTDESC& record);

// Dumps: a header line and one line per field, each beginning with logTimestamp. The TGTDESC
// dump also writes " TGTDESC valid." or " TGTDESC invalid." to standard output.
void dumpRecord(std::ostream& out, const SRCINFO& record);
void dumpRecord(std::ostream& out, const SRCDESC& record);
void dumpRecord(std::ostream& out, const TGTDESC& record);
void dumpRecord(std::ostream& out, const LOAD_STATUS& record);
void dumpRecord(std::ostream& out, const DLVR_STATUS& record);
void dumpRecord(std::ostream& out, const PING& record);

// The correlation identifier of segment n of a file: DE DA, 18 zero bytes, n big-endian.
// Segment 0 marks a header message.
void setSegmentCorrelId(MQBYTE24 correlId, uint32_t segment);
// True when correlId has that form; *segment receives n.
bool parseSegmentCorrelId(const MQBYTE24 correlId, uint32_t* segment);

// The next token of an option text from *position (blanks skipped; a token in double quotes
// may hold blanks), moving *position behind it. The token lives in one static 256-byte buffer
// that the next call overwrites; at the end of the text it is empty.
const char* nextToken(const char* text, const char** position);

// The number that a C library reading of text gives (settings numbers, MSGNUM): leading white
// space, an optional sign, then decimal digits up to the first other character, accumulated
// modulo 2^32 without an overflow test; no digits give 0.
int32_t readDecimal(const char* text);
// The same reading for numbers of a settings file, except that a value beyond the 32-bit range
// gives the nearest bound (2147483647 or -2147483648) instead of wrapping.
int32_t readSettingsNumber(const char* text);

#endif  // QT_COMMON_RECORDS_H
