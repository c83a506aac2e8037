// MQINQ and MQSET: attributes of the queue manager object and of local queues.
#include <cstring>
#include <optional>

#include "mqi/connection.h"
#include "mqi/store/names.h"

using namespace mqi;

namespace {

bool isIntSelector(MQLONG s) { return s >= 1 && s <= 2000; }
bool isCharSelector(MQLONG s) { return s >= 2001 && s <= 4000; }

// An integer attribute: its value, nullopt when it does not apply to this object (2068), or
// 2067 through `unknown` when the selector is not one this layer knows.
std::optional<MQLONG> intAttribute(MQLONG selector, const ObjectHandle& h, const QueueInfo& q,
                                   const QueueManagerInfo& qm, bool& unknown) {
  if (h.isQueueManager) {
    switch (selector) {
      case MQIA_CODED_CHAR_SET_ID: return qm.codedCharSetId;
      case MQIA_MAX_MSG_LENGTH: return qm.maxMsgLength;
      case MQIA_MAX_PRIORITY: return 9;
      case MQIA_SYNCPOINT: return MQSP_AVAILABLE;
      case MQIA_MAX_UNCOMMITTED_MSGS: return qm.maxUncommittedMsgs;
    }
  } else {
    switch (selector) {
      case MQIA_CURRENT_Q_DEPTH: return q.currentDepth;
      case MQIA_DEF_INPUT_OPEN_OPTION: return q.defInputOpenOption;
      case MQIA_DEF_PERSISTENCE: return q.defPersistence;
      case MQIA_DEF_PRIORITY: return q.defPriority;
      case MQIA_INHIBIT_GET: return q.inhibitGet;
      case MQIA_INHIBIT_PUT: return q.inhibitPut;
      case MQIA_MAX_MSG_LENGTH: return q.maxMsgLength;
      case MQIA_MAX_Q_DEPTH: return q.maxQDepth;
      case MQIA_MSG_DELIVERY_SEQUENCE: return q.msgDeliverySequence;
      case MQIA_OPEN_INPUT_COUNT: return q.openInputCount;
      case MQIA_OPEN_OUTPUT_COUNT: return q.openOutputCount;
      case MQIA_Q_TYPE: return MQQT_LOCAL;
      case MQIA_SHAREABILITY: return q.shareability;
      case MQIA_BACKOUT_THRESHOLD: return q.backoutThreshold;
    }
  }
  switch (selector) {
    case MQIA_CODED_CHAR_SET_ID: case MQIA_CURRENT_Q_DEPTH: case MQIA_DEF_INPUT_OPEN_OPTION:
    case MQIA_DEF_PERSISTENCE: case MQIA_DEF_PRIORITY: case MQIA_INHIBIT_GET:
    case MQIA_INHIBIT_PUT: case MQIA_MAX_MSG_LENGTH: case MQIA_MAX_PRIORITY:
    case MQIA_MAX_Q_DEPTH: case MQIA_MSG_DELIVERY_SEQUENCE: case MQIA_OPEN_INPUT_COUNT:
    case MQIA_OPEN_OUTPUT_COUNT: case MQIA_Q_TYPE: case MQIA_SHAREABILITY:
    case MQIA_SYNCPOINT: case MQIA_MAX_UNCOMMITTED_MSGS: case MQIA_BACKOUT_THRESHOLD:
      return std::nullopt;
  }
  unknown = true;
  return std::nullopt;
}

std::optional<std::string> charAttribute(MQLONG selector, const ObjectHandle& h,
                                         const QueueInfo& q, const QueueManagerInfo& qm,
                                         bool& unknown) {
  if (selector == MQCA_DEAD_LETTER_Q_NAME) {
    if (h.isQueueManager) return qm.deadLetterQName;
    return std::nullopt;
  }
  if (selector == MQCA_BACKOUT_REQ_Q_NAME) {
    if (!h.isQueueManager) return q.backoutRequeueQName;
    return std::nullopt;
  }
  if (selector == MQCA_Q_MGR_NAME) {
    if (h.isQueueManager) return qm.name;
    return std::nullopt;
  }
  if (selector == MQCA_Q_NAME) {
    if (!h.isQueueManager) return h.queue.name;
    return std::nullopt;
  }
  unknown = true;
  return std::nullopt;
}

MQLONG inquire(Connection& c, const ObjectHandle& h, MQLONG count, const MQLONG* selectors,
               MQLONG intCount, MQLONG* ints, MQLONG charLength, MQCHAR* chars) {
  if (count < 0 || count > 256) return MQRC_SELECTOR_COUNT_ERROR;
  if (intCount < 0) return MQRC_INT_ATTR_COUNT_ERROR;
  if (charLength < 0) return MQRC_CHAR_ATTR_LENGTH_ERROR;
  QueueInfo q;
  if (!h.isQueueManager) {
    if (MQLONG rc = h.session->describeQueue(h.queue.id, q); rc != 0) return rc;
  }
  const QueueManagerInfo& qm = c.session->queueManager();
  MQLONG warning = 0, intAt = 0, charAt = 0;
  for (MQLONG i = 0; i < count; ++i) {
    bool unknown = false;
    MQLONG s = selectors[i];
    if (isIntSelector(s)) {
      std::optional<MQLONG> v = intAttribute(s, h, q, qm, unknown);
      if (unknown) return MQRC_SELECTOR_ERROR;
      if (!v && warning == 0) warning = MQRC_SELECTOR_NOT_FOR_TYPE;
      if (intAt < intCount) ints[intAt] = v.value_or(MQIAV_NOT_APPLICABLE);
      else if (warning == 0) warning = MQRC_INT_ATTR_COUNT_TOO_SMALL;
      ++intAt;
    } else if (isCharSelector(s)) {
      std::optional<std::string> v = charAttribute(s, h, q, qm, unknown);
      if (unknown) return MQRC_SELECTOR_ERROR;
      if (!v && warning == 0) warning = MQRC_SELECTOR_NOT_FOR_TYPE;
      if (charAt + 48 <= charLength) setField(chars + charAt, 48, v.value_or(""));
      else if (warning == 0) warning = MQRC_CHAR_ATTRS_TOO_SHORT;
      charAt += 48;
    } else {
      return MQRC_SELECTOR_ERROR;
    }
  }
  return warning;
}

MQLONG setAttributes(const ObjectHandle& h, MQLONG count, const MQLONG* selectors,
                     MQLONG intCount, const MQLONG* ints, MQLONG charLength) {
  if (count < 0 || count > 256) return MQRC_SELECTOR_COUNT_ERROR;
  if (charLength < 0) return MQRC_CHAR_ATTR_LENGTH_ERROR;
  if (h.isQueueManager) return MQRC_SELECTOR_ERROR;
  MQLONG inhibitGet = -1, inhibitPut = -1, intAt = 0;
  for (MQLONG i = 0; i < count; ++i) {
    MQLONG s = selectors[i];
    if (s != MQIA_INHIBIT_GET && s != MQIA_INHIBIT_PUT) return MQRC_SELECTOR_ERROR;
    if (intAt >= intCount) return MQRC_INT_ATTR_COUNT_ERROR;
    MQLONG v = ints[intAt++];
    if (v != 0 && v != 1) return MQRC_INHIBIT_VALUE_ERROR;
    (s == MQIA_INHIBIT_GET ? inhibitGet : inhibitPut) = v;
  }
  if (charLength != 0) return MQRC_CHAR_ATTR_LENGTH_ERROR;
  if (inhibitGet < 0 && inhibitPut < 0) return 0;
  return h.session->setInhibit(h.queue.id, inhibitGet, inhibitPut);
}

}  // namespace

extern "C" {

void MQINQ(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG Selectors,
           MQLONG IntAttrCount, PMQLONG IntAttrs, MQLONG CharAttrLength, PMQCHAR CharAttrs,
           PMQLONG CompCode, PMQLONG Reason) {
  Call call("MQINQ", CompCode, Reason);
  if (call.failed()) return;
  OpenObject o = findOpenObject(call, Hconn, Hobj, MQOO_INQUIRE, MQRC_NOT_OPEN_FOR_INQUIRE);
  if (o.handle == nullptr) return;
  call.result(inquire(*o.connection, *o.handle, SelectorCount, Selectors, IntAttrCount, IntAttrs,
                      CharAttrLength, CharAttrs));
}

void MQSET(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG Selectors,
           MQLONG IntAttrCount, PMQLONG IntAttrs, MQLONG CharAttrLength, PMQCHAR CharAttrs,
           PMQLONG CompCode, PMQLONG Reason) {
  (void)CharAttrs;
  Call call("MQSET", CompCode, Reason);
  if (call.failed()) return;
  OpenObject o = findOpenObject(call, Hconn, Hobj, MQOO_SET, MQRC_NOT_OPEN_FOR_SET);
  if (o.handle == nullptr) return;
  call.result(setAttributes(*o.handle, SelectorCount, Selectors, IntAttrCount, IntAttrs,
                            CharAttrLength));
}

}  // extern "C"
