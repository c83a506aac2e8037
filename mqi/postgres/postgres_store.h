// The PostgreSQL store: queue managers kept in one database that many machines share.
#ifndef QT_MQI_POSTGRES_POSTGRES_STORE_H
#define QT_MQI_POSTGRES_POSTGRES_STORE_H

#include <memory>
#include <string>

#include "mqi/store/store.h"

namespace mqi {

// The store on the database that `location` (a libpq connection URI) names. Opening connects
// to nothing; each session and each administrative call opens its own connection.
std::shared_ptr<Store> openPostgresStore(const std::string& location);

}  // namespace mqi

#endif  // QT_MQI_POSTGRES_POSTGRES_STORE_H
