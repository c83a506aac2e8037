// When the agents connect again: the result of one turn of an agent's loop, and the MQ reasons
// after which an agent waits and connects again instead of ending (the queue manager, or the
// connection to it, has gone away for a while). Each kind of call has its own set of reasons,
// and every agent asks this one table.
//
//   kConnection    2009 2056 2059 2102 2161 2162 2202 2203  connect; gets, puts, commits
//   kQueueOpen     the kConnection set and 2017             open of a job, delivery or
//                                                           router queue
//   kReceiverOpen  2009 2017 2059 2102 2161 2162 2202 2203  qfeed's open of a receiver queue
//   kDeferGet      2009 2059 2102 2161 2162 2202 2203       gets of a move to the deferred queue
//   kDeferPut      2056 2059 2102 2161 2162 2202 2203       puts of that move
//
// 2056 (a put found the disk full) and 2102 (any other call did, or the store was busy) are
// waited out: the queue manager keeps a space reserve for the gets and commits that drain it.
#ifndef QT_COMMON_RECONNECT_H
#define QT_COMMON_RECONNECT_H

#include <cstdint>

#include "mqi/mqi.h"

// How one turn of an agent's loop (a job, a delivery header) ends: the loop goes on with the
// next turn on the same connection, or closes the connection and connects again.
enum class Turn { kNext, kReconnect };

enum class MqCallKind { kConnection, kQueueOpen, kReceiverOpen, kDeferGet, kDeferPut };

// True when `reason` of a failed call of this kind means "wait, then connect again".
bool isTransientReason(MqCallKind kind, MQLONG reason);

// The steps of an agent's connection cycle that go the same way in every agent. Each reports
// its MQ calls; waitMs is the agent's pause before the next attempt. Where a step ends the
// process, it first writes " Hard MQ error has occured. Exit." to standard error and output.
//
// Writes " MQ error has occured. Waiting <waitMs> ms for next attempt<tail>" to standard error
// and output, flushes the log and waits.
void waitForNextAttempt(int32_t waitMs, const char* tail);
// Connects. On a transient reason: waits (tail ".") and returns false; on any other reason
// ends the process.
bool connectOrWait(const char* qmgrName, MQHCONN* hConn, int32_t waitMs);
// The agent's input queue could not be opened: disconnects, then waits (tail " to proceed
// folder.") on a transient reason of an open, else ends the process.
void disconnectAfterFailedOpen(MQHCONN* hConn, MQLONG openReason, int32_t waitMs);
// The end of a connection: closes the input queue and disconnects.
void closeAndDisconnect(MQHCONN* hConn, MQHOBJ* hObj);

#endif  // QT_COMMON_RECONNECT_H
