// The router: moves each complete file group from the receiver queue to a delivery queue as a
// delivery group, or to the dead-letter queue when it cannot be delivered.
//
// One group is one unit of work: the data header (CorrelId segment 0) and its segments 1..MaxSeq,
// all with one MsgId, are got under syncpoint and put, with the MsgId, the CorrelIds and the whole
// context they came with, to the delivery queue; the header goes out as a TGTDESC built from the
// route that matches its source path. A kill at any point backs the unit of work out, so a group
// is never lost and never delivered twice. Only one segment is held in memory at a time.
//
// A group goes to the dead-letter queue, whole and unchanged apart from the Feedback field of its
// header, when no route matches it, when a segment is missing or longer than a delivery agent
// takes, when there are more segments than its header says, or when its delivery queue refuses
// it for a lasting reason. A message with CorrelId segment 0 that is not a data header goes
// there alone. A group moved to the dead-letter queue takes every message of its MsgId along.
//
// A header whose unit of work was backed out as often as the receiver queue's backout threshold
// (a group that stopped the router before) is set aside with its group at the first get: to the
// queue's backout queue, or to the queue manager's dead-letter queue.
#ifndef QT_ROUTER_ROUTER_H
#define QT_ROUTER_ROUTER_H

#include "common/log.h"
#include "mqi/mqi.h"
#include "router/settings.h"

namespace route {

// Exit codes, those of every agent (common/log.h).
constexpr int kExitNormal = ::kExitNormal;      // the receiver queue was inhibited for get
constexpr int kExitMqError = ::kExitHardError;  // an MQ failure outside the transient list
constexpr int kExitSettings = ::kExitSettings;  // unusable command line or settings file

// The longest data segment that the delivery agent takes whole.
constexpr MQLONG kSegmentLimit = 24576;

// Feedback of a dead-lettered header: 65536 (the first application feedback code) plus why.
enum class DeadReason : MQLONG {
  kNotADataHeader = 1,
  kNoRoute = 2,
  kSegmentMissing = 3,
  kSegmentTooLong = 4,
  kDeliveryRefused = 5,
  kMoreSegments = 6,  // more segments than the header's MaxSeq
};
constexpr MQLONG kFeedbackBase = 65536;

// Writes the start-up parameter lines to standard output.
void printStartupParameters(const RouterSettings& settings);

// Runs until the receiver queue is inhibited for get (kExitNormal) or an MQ failure outside the
// transient list (kExitMqError). Transient failures (2009, 2059, 2102, 2161, 2162, 2202, 2203,
// and 2017 on an open) wait WaitMQInterval milliseconds and connect again; a delivery queue that
// is put-inhibited or full (2051, 2053) makes the group wait on the receiver queue as long.
int runRouter(const RouterSettings& settings);

}  // namespace route

#endif  // QT_ROUTER_ROUTER_H
