// The embedded store: each queue manager is a folder of SQLite files under one data folder, and
// the processes of one machine share it.
#ifndef QT_MQI_EMBEDDED_EMBEDDED_STORE_H
#define QT_MQI_EMBEDDED_EMBEDDED_STORE_H

#include <memory>
#include <string>

#include "mqi/store/store.h"

namespace mqi {

// The store on the data folder `folder`. Opening creates nothing; the folder is made by the
// first queue manager created in it.
std::shared_ptr<Store> openEmbeddedStore(const std::string& folder);

}  // namespace mqi

#endif  // QT_MQI_EMBEDDED_EMBEDDED_STORE_H
