// MQPUT, MQPUT1 and MQGET: descriptor checks and completion, context, message ids, waiting,
// truncation and conversion. Storing and choosing messages is the store's.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "mqi/connection.h"
#include "mqi/convert.h"
#include "mqi/open.h"
#include "mqi/store/names.h"
#include "platform/host.h"
#include "platform/ipc.h"

using namespace mqi;

namespace {

constexpr MQLONG kPutOptions = 0x0000fff6 & ~0x18;  // defined MQPMO bits
constexpr MQLONG kContextOptions = MQPMO_DEFAULT_CONTEXT | MQPMO_PASS_IDENTITY_CONTEXT |
                                   MQPMO_PASS_ALL_CONTEXT | MQPMO_SET_IDENTITY_CONTEXT |
                                   MQPMO_SET_ALL_CONTEXT | MQPMO_NO_CONTEXT;
constexpr MQLONG kGetOptions = 0x0007ffff;
constexpr MQLONG kBrowseOptions = MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT |
                                  MQGMO_BROWSE_MSG_UNDER_CURSOR | MQGMO_MSG_UNDER_CURSOR;
constexpr int kSafetyNetMs = 1000;

bool validMd(const MQMD* md) {
  return md != nullptr && std::memcmp(md->StrucId, MQMD_STRUC_ID, 4) == 0 && md->Version >= 1 &&
         md->Version <= 2;
}
bool validPmo(const MQPMO* p) {
  return p != nullptr && std::memcmp(p->StrucId, MQPMO_STRUC_ID, 4) == 0 && p->Version >= 1 &&
         p->Version <= 3;
}
bool validGmo(const MQGMO* g) {
  return g != nullptr && std::memcmp(g->StrucId, MQGMO_STRUC_ID, 4) == 0 && g->Version >= 1 &&
         g->Version <= 4;
}
bool allZero(const MQBYTE* p, size_t n) {
  return std::all_of(p, p + n, [](MQBYTE b) { return b == 0; });
}

// A text field as stored: significant characters up to a NUL, then blanks.
void normalise(char* field, size_t width) { setField(field, width, fieldText(field, width)); }

void normaliseTextFields(MQMD& md) {
  normalise(md.Format, 8);
  normalise(md.ReplyToQ, 48);
  normalise(md.ReplyToQMgr, 48);
  normalise(md.UserIdentifier, 12);
  normalise(md.ApplIdentityData, 32);
  normalise(md.PutApplName, 28);
  normalise(md.PutDate, 8);
  normalise(md.PutTime, 8);
  normalise(md.ApplOriginData, 4);
}

// 24 bytes unique across processes: "AMQ ", 8 characters of the queue manager name, the
// process id and a clock-based counter that never repeats within the process.
void newId(MQBYTE* id, const std::string& qmgr) {
  static std::atomic<uint64_t> last{0};
  uint64_t now = static_cast<uint64_t>(
      std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(1));
  uint64_t prev = last.load();
  uint64_t next;
  do {
    next = std::max(now, prev + 1);
  } while (!last.compare_exchange_weak(prev, next));
  std::memcpy(id, "AMQ ", 4);
  setField(reinterpret_cast<char*>(id) + 4, 8, qmgr);
  uint32_t pid = static_cast<uint32_t>(platform::currentProcessId());
  std::memcpy(id + 12, &pid, 4);
  std::memcpy(id + 16, &next, 8);
}

void setOrigin(MQMD& md) {
  md.PutApplType = MQAT_UNIX;
  setField(md.PutApplName, 28, platform::programName());
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto today = floor<days>(now);
  const year_month_day date{today};
  const hh_mm_ss t{floor<milliseconds>(now - today)};  // the time of day
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d%02u%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  std::memcpy(md.PutDate, buf, 8);
  std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d", static_cast<int>(t.hours().count()),
                static_cast<int>(t.minutes().count()), static_cast<int>(t.seconds().count()),
                static_cast<int>(t.subseconds().count() / 10));
  std::memcpy(md.PutTime, buf, 8);
  setField(md.ApplOriginData, 4, "");
}

void setIdentity(MQMD& md) {
  static const std::string user = platform::processUserName();
  setField(md.UserIdentifier, 12, user);
  std::memset(md.AccountingToken, 0, sizeof md.AccountingToken);
  setField(md.ApplIdentityData, 32, "");
}

void clearContext(MQMD& md) {
  setField(md.UserIdentifier, 12, "");
  std::memset(md.AccountingToken, 0, sizeof md.AccountingToken);
  setField(md.ApplIdentityData, 32, "");
  md.PutApplType = MQAT_NO_CONTEXT;
  setField(md.PutApplName, 28, "");
  setField(md.PutDate, 8, "");
  setField(md.PutTime, 8, "");
  setField(md.ApplOriginData, 4, "");
}

MQLONG checkPutOptions(MQLONG o, MQLONG openOptions, bool put1) {
  if (o & ~kPutOptions) return MQRC_OPTIONS_ERROR;
  if ((o & MQPMO_SYNCPOINT) && (o & MQPMO_NO_SYNCPOINT)) return MQRC_OPTIONS_ERROR;
  MQLONG ctx = o & kContextOptions;
  if (ctx & (ctx - 1)) return MQRC_OPTIONS_ERROR;
  if ((o & MQPMO_ALTERNATE_USER_AUTHORITY) && !put1) return MQRC_OPTIONS_ERROR;
  if ((o & MQPMO_SET_ALL_CONTEXT) && !(openOptions & MQOO_SET_ALL_CONTEXT))
    return MQRC_NOT_OPEN_FOR_SET_ALL;
  if ((o & MQPMO_SET_IDENTITY_CONTEXT) &&
      !(openOptions & (MQOO_SET_IDENTITY_CONTEXT | MQOO_SET_ALL_CONTEXT)))
    return MQRC_NOT_OPEN_FOR_SET_IDENT;
  if ((o & MQPMO_PASS_ALL_CONTEXT) &&
      !(openOptions & (MQOO_PASS_ALL_CONTEXT | MQOO_SET_ALL_CONTEXT)))
    return MQRC_NOT_OPEN_FOR_PASS_ALL;
  return 0;
}

// The descriptor as it is stored: defaults resolved, ids and context filled. Returns a
// reason (a warning 2049 for a priority above 9, which is stored as 9).
MQLONG prepareDescriptor(const Connection& c, const ObjectHandle& h, MQLONG options, MQMD& md) {
  if (md.Persistence < 0 || md.Persistence > 2) return MQRC_PERSISTENCE_ERROR;
  if (md.Priority < -1) return MQRC_PRIORITY_ERROR;
  if (md.Expiry == 0 || md.Expiry < -1) return MQRC_EXPIRY_ERROR;
  normaliseTextFields(md);
  if (md.MsgType == MQMT_REQUEST && fieldText(md.ReplyToQ, 48).empty())
    return MQRC_MISSING_REPLY_TO_Q;
  MQLONG reason = 0;
  if (md.Priority > 9) {
    md.Priority = 9;
    reason = MQRC_PRIORITY_EXCEEDS_MAXIMUM;
  }
  const QueueInfo& q = h.queue.info;
  if (md.Priority == MQPRI_PRIORITY_AS_Q_DEF) md.Priority = q.defPriority;
  if (md.Persistence == MQPER_PERSISTENCE_AS_Q_DEF) md.Persistence = q.defPersistence;
  if (md.CodedCharSetId == MQCCSI_Q_MGR) md.CodedCharSetId = c.session->queueManager().codedCharSetId;
  if ((options & MQPMO_NEW_MSG_ID) || allZero(md.MsgId, 24)) newId(md.MsgId, c.qmgrName);
  if (options & MQPMO_NEW_CORREL_ID) newId(md.CorrelId, c.qmgrName);
  if (fieldText(md.ReplyToQMgr, 48).empty()) setField(md.ReplyToQMgr, 48, c.qmgrName);
  md.BackoutCount = 0;
  if (options & MQPMO_NO_CONTEXT) {
    clearContext(md);
  } else if (options & MQPMO_SET_ALL_CONTEXT) {
    // kept as given
  } else if (options & MQPMO_SET_IDENTITY_CONTEXT) {
    setOrigin(md);
  } else {
    setIdentity(md);
    setOrigin(md);
  }
  return reason;
}

// The checks and the put shared by MQPUT and MQPUT1; `h` is an output handle.
MQLONG putMessage(Connection& c, const ObjectHandle& h, MQMD* callerMd, MQPMO* pmo,
                  MQLONG length, const void* buffer, bool put1) {
  if (!validMd(callerMd)) return MQRC_MD_ERROR;
  if (!validPmo(pmo)) return MQRC_PMO_ERROR;
  if (length < 0) return MQRC_BUFFER_LENGTH_ERROR;
  if (buffer == nullptr && length > 0) return MQRC_BUFFER_ERROR;
  if (MQLONG rc = checkPutOptions(pmo->Options, h.options, put1); rc != 0) return rc;
  if ((pmo->Options & MQPMO_FAIL_IF_QUIESCING) && c.session->quiescing())
    return MQRC_Q_MGR_QUIESCING;
  if (length > h.session->queueManager().maxMsgLength) return MQRC_MSG_TOO_BIG_FOR_Q_MGR;
  MQMD md;
  std::memcpy(&md, callerMd, sizeof md);
  MQLONG warning = prepareDescriptor(c, h, pmo->Options, md);
  if (warning != 0 && warning != MQRC_PRIORITY_EXCEEDS_MAXIMUM) return warning;
  bool syncpoint = (pmo->Options & MQPMO_SYNCPOINT) != 0;
  MQLONG rc = h.session->put(h.queue.id, md, buffer, static_cast<size_t>(length), syncpoint);
  if (rc != 0) return rc;
  std::memcpy(callerMd, &md, sizeof md);
  setField(pmo->ResolvedQName, 48, h.queue.name);
  setField(pmo->ResolvedQMgrName, 48, h.session->queueManager().name);
  return warning;
}

MQLONG checkGetOptions(MQLONG o, const ObjectHandle& h, const MQGMO& gmo) {
  if (o & ~kGetOptions) return MQRC_OPTIONS_ERROR;
  MQLONG sync = o & (MQGMO_SYNCPOINT | MQGMO_NO_SYNCPOINT | MQGMO_SYNCPOINT_IF_PERSISTENT);
  if (sync & (sync - 1)) return MQRC_OPTIONS_ERROR;
  MQLONG browse = o & kBrowseOptions;
  if (browse & (browse - 1)) return MQRC_OPTIONS_ERROR;
  bool browsing = browse != 0 && browse != MQGMO_MSG_UNDER_CURSOR;
  if (browsing && (o & (MQGMO_SYNCPOINT | MQGMO_SYNCPOINT_IF_PERSISTENT))) return MQRC_OPTIONS_ERROR;
  if ((o & MQGMO_WAIT) && (o & MQGMO_SET_SIGNAL)) return MQRC_OPTIONS_ERROR;
  if (o & (MQGMO_SET_SIGNAL | MQGMO_LOCK | MQGMO_UNLOCK)) return MQRC_OPTIONS_ERROR;
  if ((o & MQGMO_MARK_SKIP_BACKOUT) && !(o & MQGMO_SYNCPOINT)) return MQRC_OPTIONS_ERROR;
  if (h.isQueueManager) return MQRC_HOBJ_ERROR;
  if (browse != 0 && !(h.options & MQOO_BROWSE)) return MQRC_NOT_OPEN_FOR_BROWSE;
  MQLONG inputs = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_INPUT_EXCLUSIVE;
  if (!browsing && !(h.options & inputs)) return MQRC_NOT_OPEN_FOR_INPUT;
  if ((o & MQGMO_WAIT) && gmo.WaitInterval < 0 && gmo.WaitInterval != MQWI_UNLIMITED)
    return MQRC_WAIT_INTERVAL_ERROR;
  return 0;
}

GetRequest makeRequest(const MQMD& md, const MQGMO& gmo, ObjectHandle& h) {
  GetRequest r;
  r.queueId = h.queue.id;
  MQLONG o = gmo.Options;
  if (o & MQGMO_BROWSE_FIRST) r.mode = GetMode::kBrowseFirst;
  if (o & MQGMO_BROWSE_NEXT) r.mode = GetMode::kBrowseNext;
  if (o & MQGMO_BROWSE_MSG_UNDER_CURSOR) r.mode = GetMode::kBrowseUnderCursor;
  if (o & MQGMO_MSG_UNDER_CURSOR) r.mode = GetMode::kGetUnderCursor;
  MQLONG match = MQMO_MATCH_MSG_ID | MQMO_MATCH_CORREL_ID;
  if (gmo.Version >= 2) std::memcpy(&match, reinterpret_cast<const char*>(&gmo) + 72, 4);
  r.matchMsgId = (match & MQMO_MATCH_MSG_ID) && !allZero(md.MsgId, 24);
  r.matchCorrelId = (match & MQMO_MATCH_CORREL_ID) && !allZero(md.CorrelId, 24);
  if (r.mode == GetMode::kBrowseUnderCursor || r.mode == GetMode::kGetUnderCursor)
    r.matchMsgId = r.matchCorrelId = false;
  std::memcpy(r.msgId, md.MsgId, 24);
  std::memcpy(r.correlId, md.CorrelId, 24);
  r.syncpoint = (o & MQGMO_SYNCPOINT) != 0;
  r.syncpointIfPersistent = (o & MQGMO_SYNCPOINT_IF_PERSISTENT) != 0;
  r.cursor = &h.cursor;
  return r;
}

// What one delivery did: the descriptor to hand back, the length, the warning.
struct Delivery {
  MQMD md;
  int64_t dataLength = 0;
  MQLONG reason = 0;
};

// Copies (and converts) the chosen message into the caller's buffer. The payload is read
// straight into the buffer unless it must be converted, which needs the whole message.
bool deliverInto(const MQMD& stored, int64_t length, PayloadReader& payload, const MQGMO& gmo,
                 MQLONG wantedCcsid, MQLONG wantedEncoding, MQLONG bufferLength, void* buffer,
                 Delivery& out) {
  out.md = stored;
  out.dataLength = length;
  bool accept = (gmo.Options & MQGMO_ACCEPT_TRUNCATED_MSG) != 0;
  bool convert = (gmo.Options & MQGMO_CONVERT) != 0 && stored.CodedCharSetId != wantedCcsid;
  bool isString = std::memcmp(stored.Format, MQFMT_STRING, 8) == 0;
  if (convert && isString) {
    std::string raw(static_cast<size_t>(length), '\0');
    std::string converted;
    if (!payload.read(0, raw.data(), raw.size())) return false;
    MQLONG rc = convertText(stored.CodedCharSetId, wantedCcsid, raw.data(), raw.size(), converted);
    const std::string& data = rc == 0 ? converted : raw;
    out.dataLength = static_cast<int64_t>(data.size());
    if (rc == 0) {
      out.md.CodedCharSetId = wantedCcsid;
      out.md.Encoding = wantedEncoding;
    } else {
      out.reason = rc;
    }
    std::memcpy(buffer, data.data(), std::min<size_t>(data.size(), bufferLength));
  } else {
    if (convert) out.reason = MQRC_FORMAT_ERROR;
    size_t n = static_cast<size_t>(std::min<int64_t>(length, bufferLength));
    if (n > 0 && !payload.read(0, buffer, n)) return false;
  }
  if (out.dataLength > bufferLength) {
    out.reason = accept ? MQRC_TRUNCATED_MSG_ACCEPTED : MQRC_TRUNCATED_MSG_FAILED;
    return accept;
  }
  return true;
}

// One look for a message; 2033 when nothing suitable is there now.
MQLONG tryGet(Connection& c, ObjectHandle& h, MQMD& md, MQGMO& gmo, MQLONG bufferLength,
              void* buffer, Delivery& out) {
  GetRequest request = makeRequest(md, gmo, h);
  MQLONG wantedCcsid = md.CodedCharSetId == MQCCSI_Q_MGR
                           ? c.session->queueManager().codedCharSetId
                           : md.CodedCharSetId;
  MQLONG wantedEncoding = md.Encoding;
  bool delivered = false;
  MQLONG rc = h.session->get(request, [&](const MQMD& stored, int64_t length, PayloadReader& p) {
    delivered = true;
    return deliverInto(stored, length, p, gmo, wantedCcsid, wantedEncoding, bufferLength, buffer,
                       out);
  });
  if (rc == 0 && !delivered) return MQRC_UNEXPECTED_ERROR;
  return rc;
}

MQLONG getWithWait(Connection& c, ObjectHandle& h, MQMD& md, MQGMO& gmo, MQLONG bufferLength,
                   void* buffer, Delivery& out) {
  bool wait = (gmo.Options & MQGMO_WAIT) != 0;
  bool failIfQuiescing = (gmo.Options & MQGMO_FAIL_IF_QUIESCING) != 0;
  auto start = std::chrono::steady_clock::now();
  // The call checked the connection's health just before; only a wait needs a fresh look.
  for (bool first = true;; first = false) {
    if (!first)
      if (MQLONG rc = c.session->health(); rc != 0) return rc;
    if (failIfQuiescing && c.session->quiescing()) return MQRC_Q_MGR_QUIESCING;
    uint32_t token = h.session->changeToken(h.queue.id);
    MQLONG rc = tryGet(c, h, md, gmo, bufferLength, buffer, out);
    if (rc != MQRC_NO_MSG_AVAILABLE || !wait) return rc;
    int sleepMs = kSafetyNetMs;
    if (gmo.WaitInterval != MQWI_UNLIMITED) {
      auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start).count();
      if (waited >= gmo.WaitInterval) return rc;
      sleepMs = static_cast<int>(std::min<int64_t>(sleepMs, gmo.WaitInterval - waited));
    }
    h.session->awaitChange(h.queue.id, token, sleepMs);
  }
}

}  // namespace

extern "C" {

void MQPUT(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID MsgDesc, PMQVOID PutMsgOpts, MQLONG BufferLength,
           PMQVOID Buffer, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQPUT", CompCode, Reason);
  if (call.failed()) return;
  OpenObject o = findOpenObject(call, Hconn, Hobj, MQOO_OUTPUT, MQRC_NOT_OPEN_FOR_OUTPUT);
  if (o.handle == nullptr) return;
  call.result(putMessage(*o.connection, *o.handle, static_cast<MQMD*>(MsgDesc),
                         static_cast<MQPMO*>(PutMsgOpts), BufferLength, Buffer, false));
}

void MQPUT1(MQHCONN Hconn, PMQVOID ObjDesc, PMQVOID MsgDesc, PMQVOID PutMsgOpts,
            MQLONG BufferLength, PMQVOID Buffer, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQPUT1", CompCode, Reason);
  if (call.failed()) return;
  MQLONG reason = 0;
  Connection* c = findConnection(Hconn, &reason);
  if (c == nullptr) return call.fail(reason);
  if (!connectionUsable(call, *c)) return;
  auto* od = static_cast<MQOD*>(ObjDesc);
  if (od == nullptr || std::memcmp(od->StrucId, MQOD_STRUC_ID, 4) != 0 || od->Version < 1 ||
      od->Version > 4)
    return call.fail(MQRC_OD_ERROR);
  if (od->ObjectType != MQOT_Q) return call.fail(MQRC_OBJECT_TYPE_ERROR);
  auto* pmo = static_cast<MQPMO*>(PutMsgOpts);
  if (!validPmo(pmo)) return call.fail(MQRC_PMO_ERROR);
  // The open options that the put options imply.
  MQLONG openOptions = MQOO_OUTPUT;
  if (pmo->Options & MQPMO_SET_ALL_CONTEXT) openOptions |= MQOO_SET_ALL_CONTEXT;
  if (pmo->Options & MQPMO_SET_IDENTITY_CONTEXT) openOptions |= MQOO_SET_IDENTITY_CONTEXT;
  if (pmo->Options & MQPMO_PASS_ALL_CONTEXT) openOptions |= MQOO_PASS_ALL_CONTEXT;
  if (pmo->Options & MQPMO_PASS_IDENTITY_CONTEXT) openOptions |= MQOO_PASS_IDENTITY_CONTEXT;
  if ((pmo->Options & MQPMO_FAIL_IF_QUIESCING) && c->session->quiescing())
    return call.fail(MQRC_Q_MGR_QUIESCING);
  ObjectHandle h;
  if (MQLONG rc = openQueue(*c, *od, openOptions, false, h); rc != 0) return call.fail(rc);
  h.options = openOptions;
  call.result(putMessage(*c, h, static_cast<MQMD*>(MsgDesc), pmo, BufferLength, Buffer, true));
}

void MQGET(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID MsgDesc, PMQVOID GetMsgOpts, MQLONG BufferLength,
           PMQVOID Buffer, PMQLONG DataLength, PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQGET", CompCode, Reason);
  if (call.failed()) return;
  OpenObject o = findOpenObject(call, Hconn, Hobj, 0, 0);
  if (o.handle == nullptr) return;
  auto* md = static_cast<MQMD*>(MsgDesc);
  auto* gmo = static_cast<MQGMO*>(GetMsgOpts);
  if (!validMd(md)) return call.fail(MQRC_MD_ERROR);
  if (!validGmo(gmo)) return call.fail(MQRC_GMO_ERROR);
  if (BufferLength < 0) return call.fail(MQRC_BUFFER_LENGTH_ERROR);
  if (Buffer == nullptr && BufferLength > 0) return call.fail(MQRC_BUFFER_ERROR);
  if (DataLength == nullptr) return call.fail(MQRC_DATA_LENGTH_ERROR);
  if (MQLONG rc = checkGetOptions(gmo->Options, *o.handle, *gmo); rc != 0) return call.fail(rc);
  Delivery out;
  MQLONG rc = getWithWait(*o.connection, *o.handle, *md, *gmo, BufferLength, Buffer, out);
  if (rc != 0) return call.fail(rc);
  std::memcpy(md, &out.md, sizeof out.md);
  *DataLength = static_cast<MQLONG>(out.dataLength);
  setField(gmo->ResolvedQName, 48, o.handle->queue.name);
  call.result(out.reason);
}

}  // extern "C"
