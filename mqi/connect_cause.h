// Why the last MQCONN of this thread failed, beyond its reason code: for an agent's log.
#ifndef QT_MQI_CONNECT_CAUSE_H
#define QT_MQI_CONNECT_CAUSE_H

#include <string>

namespace mqi {

// The store's own words (for the PostgreSQL store the server's or libpq's text, one line,
// passwords removed); "" when the last MQCONN did not fail or the store says no more than
// the reason code.
std::string lastConnectError();

}  // namespace mqi

#endif  // QT_MQI_CONNECT_CAUSE_H
