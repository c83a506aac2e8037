// Rules every store applies to administrative requests before it touches anything, so that
// both stores answer a bad request with the same words and reason codes.
#ifndef QT_MQI_STORE_ADMIN_RULES_H
#define QT_MQI_STORE_ADMIN_RULES_H

#include <string>

#include "mqi/admin.h"

namespace mqi {

// A queue manager or queue name that cannot exist: 2058 or 2152 with the name in the message.
Status checkQueueManagerName(const std::string& name);
Status checkQueueName(const std::string& queue);
// Every attribute that is set lies in its range.
Status checkAttributes(const QueueAttributes& attributes);
// The attributes of a new queue: those given, the defaults for the rest.
QueueAttributes withDefaults(const QueueAttributes& attributes);
// Whether a queue as `info` describes it may be deleted: not while open (2042), nor while it
// holds messages (2042) unless they are to be purged.
Status checkRemovable(const QueueInfo& info, const std::string& queue, bool purge);

}  // namespace mqi

#endif  // QT_MQI_STORE_ADMIN_RULES_H
