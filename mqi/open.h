// Opening queues for MQOPEN and MQPUT1 (calls.cc), shared with the message calls.
#ifndef QT_MQI_OPEN_H
#define QT_MQI_OPEN_H

#include <string>

#include "mqi/connection.h"

namespace mqi {

// The session of ObjectQMgrName: ours, another queue manager of the store, or 2087/2086.
MQLONG sessionFor(Connection& c, const std::string& qmgr, Session*& out);
// Resolves and opens a queue (or the queue manager object) into h; registers the handle with
// the store when registerHandle (MQPUT1 does not) and it is for input or output. Returns a
// reason code.
MQLONG openQueue(Connection& c, const MQOD& od, MQLONG options, bool registerHandle,
                 ObjectHandle& h);

}  // namespace mqi

#endif  // QT_MQI_OPEN_H
