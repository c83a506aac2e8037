// Poison messages: a job or a file's group that has been got and backed out as often as its
// queue's backout threshold says is set aside, so that it never blocks the messages behind it.
//
// Each agent asks for its input queue's policy once after opening the queue, and looks at the
// BackoutCount of every job or header it gets. At the threshold it backs out its unit of work
// and calls SetAsideGroup, which moves the message, and for a file every other message of its
// group (same MsgId: the header and every segment that is there, numbered or not), in one unit
// of work to the queue's backout queue, or without one to the queue manager's dead-letter
// queue. Each message moved carries MQRC_BACKOUT_THRESHOLD_REACHED (2362) in Feedback. The
// policy's destination also takes the groups of headers an agent rejects.
// Every MQ call is followed by reportMqCall.
#ifndef QT_COMMON_POISON_H
#define QT_COMMON_POISON_H

#include <cstdint>

#include "mqi/mqi.h"

// Where an input queue's poison goes.
struct PoisonPolicy {
  MQLONG Threshold;                        // 0: nothing is ever set aside
  char Destination[MQ_Q_NAME_LENGTH + 1];  // backout queue, else dead-letter queue; "" none
  bool FromDeadLetterQueue;                // the destination is the dead-letter queue
};

// Reads BackoutThreshold and BackoutRequeueQName of the queue `queueName` and DeadLetterQName
// of the queue manager (each object opened for inquire and closed again). A policy that cannot
// be read, or that names no destination, has Threshold 0; the failed calls are reported.
void InquirePoisonPolicy(MQHCONN hconn, const char* queueName, PoisonPolicy* policy);

// True when the message a get returned in md is at its queue's threshold and has somewhere to
// go. Back-outs this process excused for the same MsgId do not count.
bool ReachedBackoutThreshold(const PoisonPolicy& policy, const MQMD& md);

// The unit of work that held the job or header msgId was backed out for a reason that is not
// the message's own: the connection was lost, the disk under the queue manager or the next
// queue was full. So that a long outage never sets good messages aside, such back-outs of the
// message the process works on are not counted (the record is the process's, and the last
// MsgId's only: the queues are worked in order).
void ExcuseBackout(const MQBYTE24 msgId);

enum class SetAside {
  kMoved,      // the group was moved and committed (also when nothing of it was left)
  kReconnect,  // a connection-type condition; the move was backed out
  kFailed,     // another failure (the destination cannot take it); the move was backed out
};

// With no unit of work open on hconn: moves the messages of hobj (open for input) that carry
// msgId, and when correlId is not null also that CorrelId, to the policy's destination in one
// unit of work, with the descriptor and context of their gets and Feedback 2362. Writes one
// log line with what was moved, or why it was not.
SetAside SetAsideGroup(MQHCONN hconn, MQHOBJ hobj, const PoisonPolicy& policy, const MQBYTE24 msgId,
                       const MQBYTE24 correlId, MQLONG backoutCount);

// True when hobj holds a message with msgId that no unit of work holds: after a file's header
// and segments 1..MaxSeq were got, one more means the header claimed too few. The probe leaves
// the message where it is (it reads no bytes); "none there" (2033) is not reported.
bool GroupHasMoreMessages(MQHCONN hconn, MQHOBJ hobj, const MQBYTE24 msgId);

// The same move for a file whose header the agent rejects (wrong code page, too short), so
// that its segments do not stay behind without it: every message of msgId, with `feedback`,
// and a log line that begins with `why`. The policy's threshold plays no part; it needs a
// destination.
SetAside SetAsideRejectedGroup(MQHCONN hconn, MQHOBJ hobj, const PoisonPolicy& policy,
                               const MQBYTE24 msgId, MQLONG feedback, const char* why);

#endif  // QT_COMMON_POISON_H
