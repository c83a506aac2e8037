#include "tools/qmctl/session.h"

#include <cstring>

#include "tools/qmctl/text.h"

namespace qmctl {
namespace {

constexpr size_t kFirstBufferSize = 64 * 1024;

}  // namespace

Session::~Session() {
  if (hconn_ == MQHC_UNUSABLE_HCONN) return;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQDISC(&hconn_, &cc, &rc);
}

mqi::Status Session::connect() {
  MQCHAR48 name;
  setField(name, sizeof name, qmgr_);
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQCONN(name, &hconn_, &cc, &rc);
  if (cc != MQCC_FAILED) return mqi::Status::Ok();
  hconn_ = MQHC_UNUSABLE_HCONN;
  mqi::Status status = failure("MQCONN", "", rc);
  std::string message = status.message();
  if (rc == MQRC_Q_MGR_NAME_ERROR) {
    message += ": no such queue manager in " + mqi::withoutPassword(mqi::storeLocation()) + " (see 'qmctl list')";
  } else if (rc == MQRC_Q_MGR_NOT_AVAILABLE) {
    message += ": the queue manager is not running (start it with 'qmctl start " + qmgr_ + "')";
  } else if (rc == MQRC_UNEXPECTED_ERROR) {
    message += ": its store cannot be used (see the line above and 'qmctl check " + qmgr_ + "')";
  }
  return mqi::Status::Error(message, rc);
}

mqi::Status Session::commit() {
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQCMIT(hconn_, &cc, &rc);
  if (cc == MQCC_OK) return mqi::Status::Ok();
  return failure("MQCMIT", "", rc);
}

void Session::backOut() {
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQBACK(hconn_, &cc, &rc);
}

mqi::Status Session::failure(const std::string& call, const std::string& queue,
                             MQLONG reason) const {
  std::string message = call;
  if (!queue.empty()) message += " of queue '" + queue + "'";
  message += (queue.empty() ? " to '" : " on '") + qmgr_ + "' failed: " + describeReason(reason);
  return mqi::Status::Error(message, reason);
}

OpenQueue::~OpenQueue() {
  if (hobj_ == MQHO_UNUSABLE_HOBJ) return;
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQCLOSE(session_.handle(), &hobj_, MQCO_NONE, &cc, &rc);
}

mqi::Status OpenQueue::open(MQLONG options) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, sizeof od.ObjectName, name_);
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQOPEN(session_.handle(), &od, options, &hobj_, &cc, &rc);
  if (cc != MQCC_FAILED) return mqi::Status::Ok();
  hobj_ = MQHO_UNUSABLE_HOBJ;
  return session_.failure("MQOPEN", name_, rc);
}

mqi::Status OpenQueue::setAttribute(MQLONG selector, MQLONG value) {
  MQLONG selectors[1] = {selector};
  MQLONG values[1] = {value};
  MQLONG cc = 0;
  MQLONG rc = 0;
  MQSET(session_.handle(), hobj_, 1, selectors, 1, values, 0, nullptr, &cc, &rc);
  if (cc == MQCC_OK) return mqi::Status::Ok();
  return session_.failure("MQSET", name_, rc);
}

mqi::Status getMessage(Session& session, OpenQueue& queue, MQGMO& gmo, Message& message) {
  if (message.data.size() < kFirstBufferSize) message.data.resize(kFirstBufferSize);
  const MQMD request = message.md;
  for (;;) {
    MQLONG dataLength = 0;
    MQLONG cc = 0;
    MQLONG rc = 0;
    MQGET(session.handle(), queue.handle(), &message.md, &gmo,
          static_cast<MQLONG>(message.data.size()), message.data.data(), &dataLength, &cc, &rc);
    if (cc == MQCC_FAILED) return session.failure("MQGET", queue.name(), rc);
    if (rc == MQRC_TRUNCATED_MSG_FAILED) {
      // The message stayed where it was (a browse cursor too) and its ids are now in the
      // descriptor: asking again with a big enough buffer selects the same message.
      message.data.resize(static_cast<size_t>(dataLength));
      message.md.CodedCharSetId = request.CodedCharSetId;
      message.md.Encoding = request.Encoding;
      continue;
    }
    message.data.resize(static_cast<size_t>(dataLength));
    message.reason = rc;
    return mqi::Status::Ok();
  }
}

}  // namespace qmctl
