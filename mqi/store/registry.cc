// The one place that maps a QM_STORE location to a store. A new store is a folder of its own
// and one line here.
#include "mqi/embedded/embedded_store.h"
#include "mqi/store/store.h"
#ifdef QT_POSTGRES
#include "mqi/postgres/postgres_store.h"
#endif
// Where the build has no PostgreSQL store at all (Windows), the build says so here.
#ifndef QT_POSTGRES_ABSENT_NOTE
#define QT_POSTGRES_ABSENT_NOTE ""
#endif

namespace mqi {
namespace {

bool isPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

}  // namespace

Result<std::shared_ptr<Store>> openStore(const std::string& location) {
  if (isPostgresLocation(location)) {
#ifdef QT_POSTGRES
    return openPostgresStore(location);
#else
    return Status::Error("the PostgreSQL store is not built into this program" QT_POSTGRES_ABSENT_NOTE,
                         MQRC_Q_MGR_NOT_AVAILABLE);
#endif
  }
  if (location.empty()) return Status::Error("QM_STORE is empty", MQRC_Q_MGR_NOT_AVAILABLE);
  return openEmbeddedStore(location);
}

}  // namespace mqi
