// The six records: initialisers, dumps, the delivery header check, segment correlation
// identifiers and the option token reader.
#include "common/records.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <ostream>

#include "common/log.h"

namespace {

template <typename Field>
void dumpField(std::ostream& out, const char* label, const Field& field) {
  out << logTimestamp() << label << field << '\n';
}

void dumpHeader(std::ostream& out, const char* header) {
  out << logTimestamp() << header;
}

// The first 337 bytes of a data or delivery header, shared by SRCDESC and TGTDESC.
template <typename Header>
void initDataPart(Header& record) {
  record.StructId.assign(nullptr);
  record.Version.assign(0);
  record.MaxSeq.assign(0);
  record.Src_id.assign(0);
  record.Src_type.assign(nullptr);
  record.Src_path.assign(nullptr);
  record.Src_recfm.assign(nullptr);
  record.Src_lrecl.assign(0);
  record.Reserved.assign(nullptr);
  record.Packed.assign(nullptr);
  record.Seqno.assign(0);
  record.Generation.assign(0);
  record.Is_fr.assign(nullptr);
  record.Fr_fullqty.assign(0);
}

template <typename Header>
void dumpDataPart(std::ostream& out, const Header& record) {
  dumpField(out, "  StructId   = ", record.StructId);
  dumpField(out, "  Version    = ", record.Version);
  dumpField(out, "  MaxSeq     = ", record.MaxSeq);
  dumpField(out, "  Src_id     = ", record.Src_id);
  dumpField(out, "  Src_type   = ", record.Src_type);
  dumpField(out, "  Src_path   = ", record.Src_path);
  dumpField(out, "  Src_recfm  = ", record.Src_recfm);
  dumpField(out, "  Src_lrecl  = ", record.Src_lrecl);
  dumpField(out, "  Reserved   = ", record.Reserved);
  dumpField(out, "  Packed     = ", record.Packed);
  dumpField(out, "  Seqno      = ", record.Seqno);
  dumpField(out, "  Generation = ", record.Generation);
  dumpField(out, "  Is_fr      = ", record.Is_fr);
  dumpField(out, "  Fr_fullqty = ", record.Fr_fullqty);
}

constexpr unsigned char kCorrelIdMark[2] = {0xDE, 0xDA};
constexpr size_t kTokenSize = 256;

}  // namespace

// ---- initialisers -------------------------------------------------------------------------

void initSRCINFO(SRCINFO& record) {
  record.StructId.assign(nullptr);
  record.Version.assign(0);
  record.Src_id.assign(0);
  record.Src_type.assign(nullptr);
  record.Src_path.assign(nullptr);
  record.Src_ccsid.assign(0);
  record.Priority.assign(0);
  record.Is_log.assign(nullptr);
  record.Is_pack.assign(nullptr);
  record.Pack_size.assign(0);
  record.Seqno.assign(0);
  record.Generation.assign(0);
  record.Is_fr.assign(nullptr);
  record.Options.assign(nullptr);
}

void initSRCDESC(SRCDESC& record) {
  initDataPart(record);
  record.StructId.assign("KVDT");
  record.Version.assign(1);
  record.Src_type.assign("FILE");
  record.Packed.assign("N");
  record.Is_fr.assign("N");
}

void initTGTDESC(TGTDESC& record) {
  initDataPart(record);
  record.Obj_id.assign(0);
  record.Src_name.assign(nullptr);
  record.Is_log.assign(nullptr);
  record.Tgt_id.assign(0);
  record.Tgt_type.assign(nullptr);
  record.Tgt_path.assign(nullptr);
  record.Tgt_recfm.assign(nullptr);
  record.Tgt_lrecl.assign(0);
  record.Tgt_ccsid.assign(0);
  record.Tgt_crtmod.assign(nullptr);
  record.Options.assign(nullptr);
}

void initLOAD_STATUS(LOAD_STATUS& record) {
  record.StructId.assign(nullptr);
  record.Version.assign(0);
  record.Src_id.assign(0);
  record.Reserved1.assign(nullptr);
  record.State.assign(nullptr);
  record.Reserved2.assign(nullptr);
  record.Comments.assign(nullptr);
}

void initDLVR_STATUS(DLVR_STATUS& record) {
  record.StructId.assign(nullptr);
  record.Version.assign(0);
  record.Src_id.assign(0);
  record.Reserved1.assign(nullptr);
  record.Tgt_id.assign(0);
  record.Reserved2.assign(nullptr);
  record.Dp_id.assign(0);
  record.Reserved3.assign(nullptr);
  record.State.assign(nullptr);
  record.Reserved4.assign(nullptr);
  record.Comments.assign(nullptr);
}

void initPING(PING& record) {
  record.StructId.assign("KVPN");
  record.Version.assign(1);
  record.NodId.assign(0);
  record.SendTms.assign(nullptr);
  record.DlvrTms.assign(nullptr);
}

bool isValidTGTDESC(const TGTDESC& record) {
  return record.Version.isValid() && record.MaxSeq.isValid() && record.Src_id.isValid() &&
         record.Src_lrecl.isValid() && record.Seqno.isValid() && record.Generation.isValid() &&
         record.Fr_fullqty.isValid() && record.Obj_id.isValid() && record.Tgt_id.isValid() &&
         record.Tgt_lrecl.isValid() && record.Tgt_ccsid.isValid();
}

// ---- dumps --------------------------------------------------------------------------------

void dumpRecord(std::ostream& out, const SRCINFO& record) {
  dumpHeader(out, " SRCINFO:\n");
  dumpField(out, "  StructId   = ", record.StructId);
  dumpField(out, "  Version    = ", record.Version);
  dumpField(out, "  Src_id     = ", record.Src_id);
  dumpField(out, "  Src_type   = ", record.Src_type);
  dumpField(out, "  Src_path   = ", record.Src_path);
  dumpField(out, "  Src_ccsid  = ", record.Src_ccsid);
  dumpField(out, "  Priority   = ", record.Priority);
  dumpField(out, "  Is_log     = ", record.Is_log);
  dumpField(out, "  Is_pack    = ", record.Is_pack);
  dumpField(out, "  Pack_size  = ", record.Pack_size);
  dumpField(out, "  Seqno      = ", record.Seqno);
  dumpField(out, "  Generation = ", record.Generation);
  dumpField(out, "  Is_fr      = ", record.Is_fr);
  dumpField(out, "  Options    = ", record.Options);
}

void dumpRecord(std::ostream& out, const SRCDESC& record) {
  dumpHeader(out, " SRCDESC:\n");
  dumpDataPart(out, record);
}

void dumpRecord(std::ostream& out, const TGTDESC& record) {
  dumpHeader(out, " TGTDESC:\n");
  dumpDataPart(out, record);
  dumpField(out, "  Obj_id     = ", record.Obj_id);
  dumpField(out, "  Src_name   = ", record.Src_name);
  dumpField(out, "  Is_log     = ", record.Is_log);
  dumpField(out, "  Tgt_id     = ", record.Tgt_id);
  dumpField(out, "  Tgt_type   = ", record.Tgt_type);
  dumpField(out, "  Tgt_path   = ", record.Tgt_path);
  dumpField(out, "  Tgt_recfm  = ", record.Tgt_recfm);
  dumpField(out, "  Tgt_lrecl  = ", record.Tgt_lrecl);
  dumpField(out, "  Tgt_ccsid  = ", record.Tgt_ccsid);
  dumpField(out, "  Tgt_crtmod = ", record.Tgt_crtmod);
  dumpField(out, "  Options    = ", record.Options);
  // The verdict goes to standard output whatever stream the dump went to.
  std::cout << logTimestamp()
            << (isValidTGTDESC(record) ? " TGTDESC valid.\n" : " TGTDESC invalid.\n");
}

void dumpRecord(std::ostream& out, const LOAD_STATUS& record) {
  dumpHeader(out, " LOAD_STATUS:\n");
  dumpField(out, "  StructId   = ", record.StructId);
  dumpField(out, "  Version    = ", record.Version);
  dumpField(out, "  Src_id     = ", record.Src_id);
  dumpField(out, "  Reserved1  = ", record.Reserved1);
  dumpField(out, "  State      = ", record.State);
  dumpField(out, "  Reserved2  = ", record.Reserved2);
  dumpField(out, "  Comments   = ", record.Comments);
}

void dumpRecord(std::ostream& out, const DLVR_STATUS& record) {
  dumpHeader(out, " DLVR_STATUS:\n");
  dumpField(out, "  StructId   = ", record.StructId);
  dumpField(out, "  Version    = ", record.Version);
  dumpField(out, "  Src_id     = ", record.Src_id);
  dumpField(out, "  Reserved1  = ", record.Reserved1);
  dumpField(out, "  Tgt_id     = ", record.Tgt_id);
  dumpField(out, "  Reserved2  = ", record.Reserved2);
  dumpField(out, "  Dp_id      = ", record.Dp_id);
  dumpField(out, "  Reserved3  = ", record.Reserved3);
  dumpField(out, "  State      = ", record.State);
  dumpField(out, "  Reserved4  = ", record.Reserved4);
  dumpField(out, "  Comments   = ", record.Comments);
}

void dumpRecord(std::ostream& out, const PING& record) {
  dumpHeader(out, " PING:\n");
  dumpField(out, "  StructId   = ", record.StructId);
  dumpField(out, "  Version    = ", record.Version);
  dumpField(out, "  NodId      = ", record.NodId);
  dumpField(out, "  SendTms    = ", record.SendTms);
  dumpField(out, "  DlvrTms    = ", record.DlvrTms);
}

// ---- segment correlation identifiers ------------------------------------------------------

void setSegmentCorrelId(MQBYTE24 correlId, uint32_t segment) {
  std::memset(correlId, 0, sizeof(MQBYTE24));
  correlId[0] = kCorrelIdMark[0];
  correlId[1] = kCorrelIdMark[1];
  for (int i = 0; i < 4; ++i) correlId[23 - i] = static_cast<MQBYTE>(segment >> (8 * i));
}

bool parseSegmentCorrelId(const MQBYTE24 correlId, uint32_t* segment) {
  if (correlId[0] != kCorrelIdMark[0] || correlId[1] != kCorrelIdMark[1]) return false;
  for (int i = 2; i < 20; ++i) {
    if (correlId[i] != 0) return false;
  }
  uint32_t n = 0;
  for (int i = 20; i < 24; ++i) n = (n << 8) | correlId[i];
  if (segment != nullptr) *segment = n;
  return true;
}

// ---- option tokens ------------------------------------------------------------------------

const char* nextToken(const char* text, const char** position) {
  static char token[kTokenSize];
  token[0] = '\0';
  if (position == nullptr) return token;
  const char* p = *position != nullptr ? *position : text;
  if (p == nullptr) return token;
  while (*p == ' ') ++p;
  bool quoted = *p == '"';
  if (quoted) ++p;
  size_t length = 0;
  // A token longer than the buffer is cut; the position still moves over all of it.
  while (*p != '\0' && (quoted ? *p != '"' : *p != ' ')) {
    if (length < kTokenSize - 1) token[length++] = *p;
    ++p;
  }
  token[length] = '\0';
  if (quoted && *p == '"') ++p;
  *position = p;
  return token;
}

int32_t readDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

int32_t readSettingsNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = std::min(limit, value * 10 + (*p - '0'));
  return static_cast<int32_t>(negative ? -value : value);
}
