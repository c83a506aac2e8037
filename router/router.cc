// The router's connection loop and its one pass: one file group per unit of work.
#include "router/router.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/ping.h"
#include "common/poison.h"
#include "common/reconnect.h"
#include "common/records.h"
#include "common/retry_pause.h"
#include "platform/platform.h"
#include "router/delivery_header.h"

namespace route {
namespace {

// How a pass ends.
enum class Pass { kNext, kReconnect, kNormalExit, kHardError };

bool isTransient(MQLONG reason) { return isTransientReason(MqCallKind::kConnection, reason); }
bool isTransientOpen(MQLONG reason) { return isTransientReason(MqCallKind::kQueueOpen, reason); }

void progressLine(const std::string& text) { std::cout << logTimestamp() << text << std::endl; }

void errorLine(const std::string& text) {
  std::cerr << logTimestamp() << text << "\n";
  std::cout << logTimestamp() << text << std::endl;
}

void copyName(MQCHAR48 field, const std::string& name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name.data(), std::min<size_t>(name.size(), MQ_Q_NAME_LENGTH));
}

class Router {
 public:
  explicit Router(const RouterSettings& settings) : settings_(settings) {}
  int run();

 private:
  enum class Connect { kOk, kRetry, kHard };
  Connect connect();
  void disconnect();
  Pass moveNextGroup();
  Pass answerPing(const MQMD& md, MQLONG length);
  Pass deliverGroup(const MQMD& headerMd, const SRCDESC& source, const Route& route);
  Pass putToDelivery(MQHOBJ queue, MQMD* md, const void* data, MQLONG length,
                     const char* callName, const std::string& queueName, const MQMD& headerMd,
                     const std::string& path, uint32_t maxSeq);
  Pass deadLetter(const MQBYTE24 msgId, std::optional<uint32_t> maxSeq, const std::string& path,
                  DeadReason reason, const std::string& why);
  Pass moveToDeadQueue(const MQBYTE24 msgId, std::optional<uint32_t> maxSeq,
                       DeadReason reason, int* missing);
  Pass afterFailedGet(MQLONG reason);
  Pass setAside(const MQMD& md);
  MQLONG getWhole(MQMD* md, MQLONG options, MQLONG wait, const char* callName, MQLONG* length,
                  MQLONG* reason);
  std::optional<MQHOBJ> openOutput(const std::string& name, const char* callName,
                                   MQLONG* reason);
  bool isPing(MQLONG length) const;
  bool isDataHeader(MQLONG length) const;
  void backOut();

  const RouterSettings& settings_;
  MQHCONN hConn_ = MQHC_UNUSABLE_HCONN;
  MQHOBJ hIn_ = MQHO_UNUSABLE_HOBJ;
  std::map<std::string, MQHOBJ> outputs_;  // open delivery and dead-letter queues
  PoisonPolicy poison_{};                  // the receiver queue's, read at every connection
  BackoutPause retry_{};                    // before a group that was backed out goes again
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kSegmentLimit);
};

int Router::run() {
  RetryPause pause;
  for (;;) {
    Connect c = connect();
    if (c == Connect::kOk) RestartPause(pause);
    if (c == Connect::kHard) {
      errorLine(" Hard MQ error has occured. Exit.");
      return kExitMqError;
    }
    Pass pass = Pass::kReconnect;
    if (c == Connect::kOk) {
      do pass = moveNextGroup(); while (pass == Pass::kNext);
      disconnect();
    }
    switch (pass) {
      case Pass::kNormalExit:
        progressLine(" Normal exit.");
        return kExitNormal;
      case Pass::kHardError:
        errorLine(" Hard MQ error has occured. Exit.");
        return kExitMqError;
      default: {
        const int32_t waitMs = NextPause(pause, static_cast<int32_t>(settings_.waitMQInterval));
        errorLine(" MQ error has occured. Waiting " + std::to_string(waitMs) +
                  " ms for next attempt.");
        platform::sleepMilliseconds(static_cast<uint32_t>(waitMs));
      }
    }
  }
}

Router::Connect Router::connect() {
  MQLONG cc = 0, reason = 0;
  hConn_ = MQHC_UNUSABLE_HCONN;
  MQCONN(settings_.qmgrName.c_str(), &hConn_, &cc, &reason);
  reportMqCall("Connect to Queue Manager", cc, reason);
  if (cc == MQCC_FAILED) return isTransient(reason) ? Connect::kRetry : Connect::kHard;
  progressLine(" Connect to Queue Manager successful.");

  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, settings_.rcvrQueue);
  copyName(od.ObjectQMgrName, settings_.qmgrName);
  MQLONG input = settings_.inputExclusive ? MQOO_INPUT_EXCLUSIVE : MQOO_INPUT_SHARED;
  hIn_ = MQHO_UNUSABLE_HOBJ;
  MQOPEN(hConn_, &od, input | MQOO_FAIL_IF_QUIESCING, &hIn_, &cc, &reason);
  reportMqCall("Open Receiver Queue", cc, reason);
  if (cc != MQCC_FAILED) {
    InquirePoisonPolicy(hConn_, settings_.rcvrQueue.c_str(), &poison_);
    return Connect::kOk;
  }
  MQLONG discCc = 0, discReason = 0;
  MQDISC(&hConn_, &discCc, &discReason);
  reportMqCall("Disconnect from Queue Manager", discCc, discReason);
  return isTransientOpen(reason) ? Connect::kRetry : Connect::kHard;
}

// Backs out first: a disconnect would commit a half-moved group.
void Router::disconnect() {
  MQLONG cc = 0, reason = 0;
  backOut();
  for (auto& [name, handle] : outputs_) {
    MQCLOSE(hConn_, &handle, MQCO_NONE, &cc, &reason);
    reportMqCall("Close Delivery queue", cc, reason);
  }
  outputs_.clear();
  MQCLOSE(hConn_, &hIn_, MQCO_NONE, &cc, &reason);
  reportMqCall("Close Receiver queue", cc, reason);
  MQDISC(&hConn_, &cc, &reason);
  reportMqCall("Disconnect from Queue Manager", cc, reason);
}

void Router::backOut() {
  MQLONG cc = 0, reason = 0;
  MQBACK(hConn_, &cc, &reason);
  reportMqCall("Rollback", cc, reason);
}

// Gets one message whole into buffer_. A message longer than the buffer stays on the queue at
// the first try (2080): the buffer grows to its length and the same message, which the
// descriptor now names, is got again without waiting.
MQLONG Router::getWhole(MQMD* md, MQLONG options, MQLONG wait, const char* callName,
                        MQLONG* length, MQLONG* reason) {
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = options;
  gmo.WaitInterval = wait;
  MQLONG cc = 0;
  MQGET(hConn_, hIn_, md, &gmo, static_cast<MQLONG>(buffer_.size()), buffer_.data(), length,
        &cc, reason);
  reportMqCall(callName, cc, *reason);
  if (cc != MQCC_WARNING || *reason != MQRC_TRUNCATED_MSG_FAILED) return cc;
  buffer_.resize(static_cast<size_t>(*length));
  gmo.Options = options & ~MQGMO_WAIT;
  gmo.WaitInterval = 0;
  MQGET(hConn_, hIn_, md, &gmo, static_cast<MQLONG>(buffer_.size()), buffer_.data(), length,
        &cc, reason);
  reportMqCall(callName, cc, *reason);
  return cc;
}

std::optional<MQHOBJ> Router::openOutput(const std::string& name, const char* callName,
                                         MQLONG* reason) {
  auto found = outputs_.find(name);
  if (found != outputs_.end()) return found->second;
  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, name);
  MQHOBJ handle = MQHO_UNUSABLE_HOBJ;
  MQLONG cc = 0;
  MQOPEN(hConn_, &od, MQOO_OUTPUT | MQOO_SET_ALL_CONTEXT | MQOO_FAIL_IF_QUIESCING, &handle, &cc,
         reason);
  reportMqCall(callName, cc, *reason);
  if (cc == MQCC_FAILED) return std::nullopt;
  outputs_[name] = handle;
  return handle;
}

bool Router::isPing(MQLONG length) const {
  CharField<4> structId;
  structId.assign(nullptr);
  std::memcpy(structId.bytes, buffer_.data(), std::min<size_t>(static_cast<size_t>(length), 4));
  return structId.equals("KVPN");
}

bool Router::isDataHeader(MQLONG length) const {
  if (length != static_cast<MQLONG>(sizeof(SRCDESC))) return false;
  const auto* header = reinterpret_cast<const SRCDESC*>(buffer_.data());
  return std::memcmp(header->StructId.bytes, "KVDT", 4) == 0 && header->MaxSeq.isValid();
}

Pass Router::afterFailedGet(MQLONG reason) {
  if (reason == MQRC_GET_INHIBITED) return Pass::kNormalExit;
  if (reason == MQRC_NO_MSG_AVAILABLE) {  // another reader took it between two gets
    backOut();
    return Pass::kNext;
  }
  return isTransient(reason) ? Pass::kReconnect : Pass::kHardError;
}

Pass Router::moveNextGroup() {
  if (buffer_.size() != static_cast<size_t>(kSegmentLimit)) {  // after an oversized message
    buffer_.assign(kSegmentLimit, 0);
    buffer_.shrink_to_fit();
  }
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  MQLONG length = 0, reason = 0;
  MQLONG options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING | MQGMO_CONVERT;
  if (getWhole(&md, options, MQWI_UNLIMITED, "Get Header from Receiver queue", &length,
               &reason) == MQCC_FAILED) {
    return afterFailedGet(reason);
  }
  if (isPing(length)) return answerPing(md, length);
  if (md.BackoutCount == 0) {
    ResetRetryPause(retry_);
  } else if (ReachedBackoutThreshold(poison_, md)) {
    return setAside(md);
  } else {
    PauseBeforeRetry(retry_, static_cast<int32_t>(settings_.waitMQInterval));
  }
  if (!isDataHeader(length)) {
    return deadLetter(md.MsgId, std::nullopt, "", DeadReason::kNotADataHeader,
                      "a message of " + std::to_string(length) + " bytes is not a data header");
  }
  SRCDESC source;
  std::memcpy(&source, buffer_.data(), sizeof source);
  dumpRecord(std::cout, source);
  const std::string path = sourcePathOf(source);
  const Route* route = findRoute(settings_.routes, path);
  if (route == nullptr) {
    return deadLetter(md.MsgId, source.MaxSeq.value(), path, DeadReason::kNoRoute,
                      "no route takes it");
  }
  return deliverGroup(md, source, *route);
}

// The group was backed out as often as the receiver queue allows: it goes aside whole, and a
// move that fails is tried again after the wait.
Pass Router::setAside(const MQMD& md) {
  backOut();
  switch (SetAsideGroup(hConn_, hIn_, poison_, md.MsgId, nullptr, md.BackoutCount)) {
    case SetAside::kMoved:
      return Pass::kNext;
    case SetAside::kReconnect:
      return Pass::kReconnect;
    case SetAside::kFailed:
      break;
  }
  platform::sleepMilliseconds(settings_.waitMQInterval);
  return Pass::kNext;
}

Pass Router::answerPing(const MQMD& md, MQLONG length) {
  PING ping;
  initPING(ping);
  std::memcpy(&ping, buffer_.data(), std::min<size_t>(static_cast<size_t>(length), sizeof ping));
  dumpRecord(std::cout, ping);
  putPingReply(hConn_, &ping, md.ReplyToQ);
  return Pass::kNext;
}

Pass Router::deliverGroup(const MQMD& headerMd, const SRCDESC& source, const Route& route) {
  const std::string path = sourcePathOf(source);
  const uint32_t maxSeq = source.MaxSeq.value();
  const std::string queueName = route.dlvrQueue.empty() ? settings_.dlvrQueue : route.dlvrQueue;
  MQLONG reason = 0;
  std::optional<MQHOBJ> queue = openOutput(queueName, "Open Delivery queue", &reason);
  if (!queue) {
    if (isTransientOpen(reason)) return Pass::kReconnect;
    return deadLetter(headerMd.MsgId, maxSeq, path, DeadReason::kDeliveryRefused,
                      "delivery queue " + queueName + " cannot be opened, reason " +
                          std::to_string(reason));
  }
  for (uint32_t s = 1; s <= maxSeq; ++s) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.MsgId, headerMd.MsgId, sizeof md.MsgId);
    setSegmentCorrelId(md.CorrelId, s);
    MQLONG length = 0;
    if (getWhole(&md, MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING, 0,
                 "Get segment from Receiver queue", &length, &reason) == MQCC_FAILED) {
      if (reason != MQRC_NO_MSG_AVAILABLE) return afterFailedGet(reason);
      return deadLetter(headerMd.MsgId, maxSeq, path, DeadReason::kSegmentMissing,
                        "segment " + std::to_string(s) + " of " + std::to_string(maxSeq) +
                            " is missing");
    }
    if (length > kSegmentLimit) {
      return deadLetter(headerMd.MsgId, maxSeq, path, DeadReason::kSegmentTooLong,
                        "segment " + std::to_string(s) + " holds " + std::to_string(length) +
                            " bytes, more than " + std::to_string(kSegmentLimit));
    }
    Pass put = putToDelivery(*queue, &md, buffer_.data(), length, "Put segment to Delivery queue",
                             queueName, headerMd, path, maxSeq);
    if (put != Pass::kNext) return put;
  }
  if (GroupHasMoreMessages(hConn_, hIn_, headerMd.MsgId)) {
    return deadLetter(headerMd.MsgId, maxSeq, path, DeadReason::kMoreSegments,
                      "it has more segments than its MaxSeq of " + std::to_string(maxSeq));
  }
  TGTDESC header;
  buildDeliveryHeader(source, route, &header);
  dumpRecord(std::cout, header);
  MQMD md = headerMd;
  if (!route.replyToQ.empty()) {
    copyName(md.ReplyToQ, route.replyToQ);
    copyName(md.ReplyToQMgr, route.replyToQMgr);
  } else if (!settings_.replyToQ.empty()) {
    copyName(md.ReplyToQ, settings_.replyToQ);
    copyName(md.ReplyToQMgr, settings_.replyToQMgr);
  }  // else the reply queue that the data header came with
  Pass put = putToDelivery(*queue, &md, &header, sizeof header, "Put header to Delivery queue",
                           queueName, headerMd, path, maxSeq);
  if (put != Pass::kNext) return put;
  MQLONG cc = 0;
  MQCMIT(hConn_, &cc, &reason);
  reportMqCall("Commit group move", cc, reason);
  if (cc == MQCC_FAILED) return isTransient(reason) ? Pass::kReconnect : Pass::kHardError;
  progressLine(" File '" + path + "' routed to " + queueName + " by route " +
               std::to_string(route.number) + " (" + std::to_string(maxSeq) +
               (maxSeq == 1 ? " segment)." : " segments)."));
  return Pass::kNext;
}

// Puts one message of a group with the descriptor it came with (MsgId, CorrelId, context).
Pass Router::putToDelivery(MQHOBJ queue, MQMD* md, const void* data, MQLONG length,
                           const char* callName, const std::string& queueName,
                           const MQMD& headerMd, const std::string& path, uint32_t maxSeq) {
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
  MQLONG cc = 0, reason = 0;
  MQPUT(hConn_, queue, md, &pmo, length, const_cast<void*>(data), &cc, &reason);
  reportMqCall(callName, cc, reason);
  if (cc != MQCC_FAILED) return Pass::kNext;
  if (isTransient(reason)) {
    ExcuseBackout(headerMd.MsgId);
    return Pass::kReconnect;
  }
  if (reason == MQRC_PUT_INHIBITED || reason == MQRC_Q_FULL) {
    ExcuseBackout(headerMd.MsgId);
    backOut();
    errorLine(" Delivery queue " + queueName + " refuses messages, reason " +
              std::to_string(reason) + ". File '" + path + "' waits " +
              std::to_string(settings_.waitMQInterval) + " ms on the receiver queue.");
    platform::sleepMilliseconds(settings_.waitMQInterval);
    return Pass::kNext;
  }
  return deadLetter(headerMd.MsgId, maxSeq, path, DeadReason::kDeliveryRefused,
                    "delivery queue " + queueName + " refused it, reason " +
                        std::to_string(reason));
}

// Backs the pass out and moves the group, as it lies on the receiver queue, to the dead-letter
// queue in a unit of work of its own. Without maxSeq the header moves alone.
Pass Router::deadLetter(const MQBYTE24 msgId, std::optional<uint32_t> maxSeq,
                        const std::string& path, DeadReason reason, const std::string& why) {
  MQBYTE24 id;
  std::memcpy(id, msgId, sizeof id);  // msgId may point into a descriptor about to be reused
  backOut();
  int missing = 0;
  Pass pass = moveToDeadQueue(id, maxSeq, reason, &missing);
  if (pass != Pass::kNext) return pass;
  std::string what = path.empty() ? std::string("Message") : "File '" + path + "'";
  errorLine(" " + what + " moved to dead-letter queue " + settings_.deadQueue + ": " + why + ".");
  if (missing > 0) {
    errorLine(" " + std::to_string(missing) + " of its " + std::to_string(*maxSeq) +
              " segments were not on the receiver queue.");
  }
  return Pass::kNext;
}

// The header first, so that it carries the reason; then, for a group, whatever else of it is
// there, numbered segments and strays alike, however many its MaxSeq claims.
Pass Router::moveToDeadQueue(const MQBYTE24 msgId, std::optional<uint32_t> maxSeq,
                             DeadReason reason, int* missing) {
  MQLONG openReason = 0;
  std::optional<MQHOBJ> dead = openOutput(settings_.deadQueue, "Open Dead-letter queue",
                                          &openReason);
  if (!dead) return isTransient(openReason) ? Pass::kReconnect : Pass::kHardError;
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | MQPMO_SET_ALL_CONTEXT | MQPMO_FAIL_IF_QUIESCING;
  uint32_t numbered = 0;  // segments 1..maxSeq found
  for (bool header = true; header || (maxSeq && GroupHasMoreMessages(hConn_, hIn_, msgId));
       header = false) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.MsgId, msgId, sizeof md.MsgId);
    if (header) setSegmentCorrelId(md.CorrelId, 0);
    MQLONG length = 0, cc = 0, why = 0;
    if (getWhole(&md, MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING, 0,
                 "Get message from Receiver queue", &length, &why) == MQCC_FAILED) {
      return afterFailedGet(why);  // for the header: it went to another reader
    }
    uint32_t segment = 0;
    if (!header && parseSegmentCorrelId(md.CorrelId, &segment) && segment >= 1 && maxSeq &&
        segment <= *maxSeq) {
      ++numbered;
    }
    if (header) md.Feedback = kFeedbackBase + static_cast<MQLONG>(reason);
    MQPUT(hConn_, *dead, &md, &pmo, length, buffer_.data(), &cc, &why);
    reportMqCall("Put message to Dead-letter queue", cc, why);
    if (cc == MQCC_FAILED) return isTransient(why) ? Pass::kReconnect : Pass::kHardError;
  }
  const uint32_t claimed = maxSeq.value_or(0);
  *missing = static_cast<int>(numbered >= claimed ? 0 : claimed - numbered);
  MQLONG cc = 0, why = 0;
  MQCMIT(hConn_, &cc, &why);
  reportMqCall("Commit dead-letter move", cc, why);
  if (cc == MQCC_FAILED) return isTransient(why) ? Pass::kReconnect : Pass::kHardError;
  return Pass::kNext;
}

}  // namespace

void printStartupParameters(const RouterSettings& s) {
  const char* ts = logTimestamp();
  std::cout << ts << " Startup parameters:\n"
            << ts << "     QmgrName          = " << s.qmgrName << "\n"
            << ts << "     RcvrQueue         = " << s.rcvrQueue << "\n"
            << ts << "     DlvrQueue         = " << s.dlvrQueue << "\n"
            << ts << "     DeadQueue         = " << s.deadQueue << "\n"
            << ts << "     ReplyToQ          = " << s.replyToQ << "\n"
            << ts << "     WaitMQInterval    = " << s.waitMQInterval << "\n";
  for (const Route& r : s.routes) {
    std::string folder = r.srcFolder.empty() ? "*" : r.srcFolder;
    std::cout << ts << "     Route " << r.number << "           = " << folder << " " << r.srcMask
              << " -> " << (r.dlvrQueue.empty() ? s.dlvrQueue : r.dlvrQueue) << " "
              << r.tgtPath << " " << r.tgtCrtmod << "\n";
  }
  std::cout.flush();
}

int runRouter(const RouterSettings& settings) {
  Router router(settings);
  return router.run();
}

}  // namespace route
