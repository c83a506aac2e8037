// One MQ connection of qmctl and the queues it opens, closed and disconnected on scope exit.
//
// Every failure comes back as an mqi::Status whose message names the call, the queue and the
// queue manager and carries the reason code with its name; its reason() is the MQ reason.
#ifndef QT_TOOLS_QMCTL_SESSION_H
#define QT_TOOLS_QMCTL_SESSION_H

#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"

namespace qmctl {

class Session {
 public:
  explicit Session(std::string qmgr) : qmgr_(std::move(qmgr)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // MQCONN. 2058 and 2059 get a hint on what the operator can do about them.
  mqi::Status connect();
  MQHCONN handle() const { return hconn_; }
  const std::string& qmgr() const { return qmgr_; }

  mqi::Status commit();
  void backOut();

  // A failure status for `call` on `queue` ("" for none) with the MQ reason code.
  mqi::Status failure(const std::string& call, const std::string& queue, MQLONG reason) const;

 private:
  std::string qmgr_;
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
};

// A queue opened on a session; closed when it goes out of scope.
class OpenQueue {
 public:
  OpenQueue(Session& session, std::string name) : session_(session), name_(std::move(name)) {}
  ~OpenQueue();
  OpenQueue(const OpenQueue&) = delete;
  OpenQueue& operator=(const OpenQueue&) = delete;

  mqi::Status open(MQLONG options);
  MQHOBJ handle() const { return hobj_; }
  const std::string& name() const { return name_; }

  // MQSET of one integer attribute (MQIA_INHIBIT_GET, MQIA_INHIBIT_PUT).
  mqi::Status setAttribute(MQLONG selector, MQLONG value);

 private:
  Session& session_;
  std::string name_;
  MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
};

// A message read from a queue: its descriptor and its data.
struct Message {
  MQMD md = {MQMD_DEFAULT};
  std::vector<char> data;
  MQLONG reason = MQRC_NONE;  // a warning of the get (2119 not converted, ...), else 0
};

// One MQGET into `message`, growing the buffer and retrying when the message is bigger than
// it (2080). The caller sets message.md (match ids, CodedCharSetId for conversion) and gmo.
// Returns the reason code of a failed get in the status; warnings land in message.reason.
mqi::Status getMessage(Session& session, OpenQueue& queue, MQGMO& gmo, Message& message);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_SESSION_H
