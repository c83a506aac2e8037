// Poison messages: the policy of an input queue, and the move of a group that reached it.
#include "common/poison.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/reconnect.h"
#include "platform/platform.h"

namespace {

void writeBoth(const char* text) {
  std::cerr << logTimestamp() << text << std::flush;
  std::cout << logTimestamp() << text << std::flush;
}

// A blank-padded 48-character name as a C string without its trailing blanks.
void copyTrimmed(char* out, const char* name) {
  size_t length = strnlen(name, MQ_Q_NAME_LENGTH);
  while (length > 0 && name[length - 1] == ' ') --length;
  std::memcpy(out, name, length);
  out[length] = '\0';
}

// Copies a queue name of at most 48 characters into an MQ name field; the rest stays NUL.
void setObjectName(MQCHAR48 field, const char* name) {
  std::memcpy(field, name, strnlen(name, MQ_Q_NAME_LENGTH));
}

// Opens an object for inquire: the queue queueName, or the queue manager when it is null.
bool openForInquire(MQHCONN hconn, const char* queueName, MQHOBJ* hobj) {
  MQOD od = {MQOD_DEFAULT};
  if (queueName == nullptr) {
    od.ObjectType = MQOT_Q_MGR;
  } else {
    setObjectName(od.ObjectName, queueName);
  }
  MQLONG compCode;
  MQLONG reason;
  MQOPEN(hconn, &od, MQOO_INQUIRE | MQOO_FAIL_IF_QUIESCING, hobj, &compCode, &reason);
  return reportMqCall("Inquire backout policy (open)", compCode, reason) != MQCC_FAILED;
}

void closeInquired(MQHCONN hconn, MQHOBJ* hobj) {
  MQLONG compCode;
  MQLONG reason;
  MQCLOSE(hconn, hobj, MQCO_NONE, &compCode, &reason);
  reportMqCall("Inquire backout policy (close)", compCode, reason);
}

// One inquire of up to one integer and one character attribute of an open object.
bool inquire(MQHCONN hconn, MQHOBJ hobj, MQLONG intSelector, MQLONG* intValue, MQLONG charSelector,
             char* chars) {
  MQLONG selectors[2];
  MQLONG count = 0;
  if (intValue != nullptr) selectors[count++] = intSelector;
  if (chars != nullptr) selectors[count++] = charSelector;
  MQLONG compCode;
  MQLONG reason;
  MQINQ(hconn, hobj, count, selectors, intValue != nullptr ? 1 : 0, intValue,
        chars != nullptr ? MQ_Q_NAME_LENGTH : 0, chars, &compCode, &reason);
  return reportMqCall("Inquire backout policy", compCode, reason) == MQCC_OK;
}

bool inquireObject(MQHCONN hconn, const char* queueName, MQLONG intSelector, MQLONG* intValue,
                   MQLONG charSelector, char* chars) {
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  if (!openForInquire(hconn, queueName, &hobj)) return false;
  bool inquired = inquire(hconn, hobj, intSelector, intValue, charSelector, chars);
  closeInquired(hconn, &hobj);
  return inquired;
}

void backOut(MQHCONN hconn) {
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall("Rollback", compCode, reason);
}

// Gets the next message of the group whole under syncpoint; the descriptor selects it.
MQLONG getGroupMessage(MQHCONN hconn, MQHOBJ hobj, MQMD& md, std::vector<char>& buffer,
                       MQLONG* length, MQLONG* reason) {
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_NO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING;
  MQLONG compCode;
  for (;;) {
    MQGET(hconn, hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), length,
          &compCode, reason);
    if (compCode != MQCC_WARNING || *reason != MQRC_TRUNCATED_MSG_FAILED) break;
    buffer.resize(static_cast<size_t>(*length));  // left on the queue: read it again whole
  }
  if (compCode == MQCC_FAILED && *reason == MQRC_NO_MSG_AVAILABLE) return compCode;
  return reportMqCall("Set aside message (get)", compCode, *reason);
}

MQLONG putAside(MQHCONN hconn, const PoisonPolicy& policy, MQMD& md, std::vector<char>& data,
                MQLONG length, MQLONG* reason) {
  MQOD od = {MQOD_DEFAULT};
  setObjectName(od.ObjectName, policy.Destination);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
  MQLONG compCode;
  MQPUT1(hconn, &od, &md, &pmo, length, data.data(), &compCode, reason);
  return reportMqCall("Set aside message (put)", compCode, *reason);
}

std::string hexOf(const MQBYTE24 id) {
  char hex[49];
  for (size_t i = 0; i < 24; ++i) std::snprintf(hex + 2 * i, 3, "%02X", id[i]);
  return hex;
}

SetAside notMoved(MQHCONN hconn, const MQBYTE24 msgId, const char* queue, MQLONG reason) {
  backOut(hconn);
  char text[256];
  std::snprintf(text, sizeof text,
                " Messages of MsgId %s cannot be set aside to queue '%s', reason %ld.\n",
                hexOf(msgId).c_str(), queue, static_cast<long>(reason));
  writeBoth(text);
  return isTransientReason(MqCallKind::kConnection, reason) ? SetAside::kReconnect
                                                            : SetAside::kFailed;
}

}  // namespace

void InquirePoisonPolicy(MQHCONN hconn, const char* queueName, PoisonPolicy* policy) {
  *policy = PoisonPolicy{};
  char name[MQ_Q_NAME_LENGTH];
  MQLONG threshold = 0;
  if (!inquireObject(hconn, queueName, MQIA_BACKOUT_THRESHOLD, &threshold, MQCA_BACKOUT_REQ_Q_NAME,
                     name)) {
    return;
  }
  copyTrimmed(policy->Destination, name);
  if (policy->Destination[0] == '\0') {
    if (!inquireObject(hconn, nullptr, 0, nullptr, MQCA_DEAD_LETTER_Q_NAME, name)) return;
    copyTrimmed(policy->Destination, name);
    policy->FromDeadLetterQueue = true;
  }
  policy->Threshold = policy->Destination[0] != '\0' && threshold > 0 ? threshold : 0;
}

namespace {

// The back-outs excused for the last MsgId that had one.
struct ExcusedBackouts {
  MQBYTE24 MsgId;
  MQLONG Count;
};
ExcusedBackouts Excused = {};

}  // namespace

void ExcuseBackout(const MQBYTE24 msgId) {
  if (std::memcmp(Excused.MsgId, msgId, sizeof Excused.MsgId) != 0) {
    std::memcpy(Excused.MsgId, msgId, sizeof Excused.MsgId);
    Excused.Count = 0;
  }
  ++Excused.Count;
}

bool ReachedBackoutThreshold(const PoisonPolicy& policy, const MQMD& md) {
  MQLONG counted = md.BackoutCount;
  if (std::memcmp(Excused.MsgId, md.MsgId, sizeof Excused.MsgId) == 0) counted -= Excused.Count;
  return policy.Threshold > 0 && counted >= policy.Threshold;
}

namespace {

// Moves the messages and commits; *moved counts them.
SetAside moveAndCommit(MQHCONN hconn, MQHOBJ hobj, const PoisonPolicy& policy, const MQBYTE24 msgId,
                       const MQBYTE24 correlId, MQLONG feedback, long* moved) {
  std::vector<char> buffer(4096);
  *moved = 0;
  for (;;) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.MsgId, msgId, sizeof md.MsgId);
    if (correlId != nullptr) std::memcpy(md.CorrelId, correlId, sizeof md.CorrelId);
    MQLONG length = 0;
    MQLONG reason = 0;
    if (getGroupMessage(hconn, hobj, md, buffer, &length, &reason) == MQCC_FAILED) {
      if (reason == MQRC_NO_MSG_AVAILABLE) break;
      return notMoved(hconn, msgId, policy.Destination, reason);
    }
    md.Feedback = feedback;
    if (putAside(hconn, policy, md, buffer, length, &reason) == MQCC_FAILED)
      return notMoved(hconn, msgId, policy.Destination, reason);
    ++*moved;
  }
  MQLONG compCode;
  MQLONG reason;
  MQCMIT(hconn, &compCode, &reason);
  if (reportMqCall("Set aside messages", compCode, reason) == MQCC_FAILED ||
      reason == MQRC_BACKED_OUT) {
    return notMoved(hconn, msgId, policy.Destination, reason);
  }
  return SetAside::kMoved;
}

void setAsideLine(const char* why, long moved, const MQBYTE24 msgId, const PoisonPolicy& policy,
                  MQLONG feedback) {
  char text[384];
  std::snprintf(text, sizeof text,
                " %s: %ld messages of MsgId %s set aside to %s '%s' (feedback %ld).\n", why, moved,
                hexOf(msgId).c_str(),
                policy.FromDeadLetterQueue ? "dead-letter queue" : "backout queue",
                policy.Destination, static_cast<long>(feedback));
  writeBoth(text);
}

}  // namespace

SetAside SetAsideGroup(MQHCONN hconn, MQHOBJ hobj, const PoisonPolicy& policy, const MQBYTE24 msgId,
                       const MQBYTE24 correlId, MQLONG backoutCount) {
  long moved = 0;
  SetAside result =
      moveAndCommit(hconn, hobj, policy, msgId, correlId, MQRC_BACKOUT_THRESHOLD_REACHED, &moved);
  if (result != SetAside::kMoved) return result;
  char why[64];
  std::snprintf(why, sizeof why, "Backed out %ld times", static_cast<long>(backoutCount));
  setAsideLine(why, moved, msgId, policy, MQRC_BACKOUT_THRESHOLD_REACHED);
  return result;
}

SetAside SetAsideRejectedGroup(MQHCONN hconn, MQHOBJ hobj, const PoisonPolicy& policy,
                               const MQBYTE24 msgId, MQLONG feedback, const char* why) {
  long moved = 0;
  SetAside result = moveAndCommit(hconn, hobj, policy, msgId, nullptr, feedback, &moved);
  if (result == SetAside::kMoved) setAsideLine(why, moved, msgId, policy, feedback);
  return result;
}

bool GroupHasMoreMessages(MQHCONN hconn, MQHOBJ hobj, const MQBYTE24 msgId) {
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.MsgId, msgId, sizeof md.MsgId);
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_NO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING;
  char none = 0;
  MQLONG length = 0;
  MQLONG compCode;
  MQLONG reason;
  MQGET(hconn, hobj, &md, &gmo, 0, &none, &length, &compCode, &reason);
  if (compCode == MQCC_FAILED && reason == MQRC_NO_MSG_AVAILABLE) return false;
  reportMqCall("Look for more segments", compCode, reason);
  // 2080: there is one, left on the queue; an empty message was got, and goes back with the
  // unit of work that the caller backs out.
  return compCode != MQCC_FAILED;
}
