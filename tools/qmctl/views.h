// What the commands and the dashboard share: the JSON shapes of `qmctl list/show --json` and
// `qmctl queues --json`, and the inhibit and allow of a queue.
#ifndef QT_TOOLS_QMCTL_VIEWS_H
#define QT_TOOLS_QMCTL_VIEWS_H

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqi/admin.h"

namespace qmctl {

// "running", "stopped" or "quiescing".
std::string stateText(const mqi::QueueManagerInfo& info);
// One queue manager as `qmctl show QM --json` prints it.
nlohmann::json queueManagerJson(const mqi::QueueManagerInfo& info);
// One queue as an element of `qmctl queues QM --json`.
nlohmann::json queueJson(const mqi::QueueInfo& queue);

// One MQSET per operation ("get" or "put") through a handle opened for set; `done` is called
// after each one that took effect. Stops at the first failure.
mqi::Status setInhibit(const std::string& qmgr, const std::string& queue,
                       const std::vector<std::string>& operations, bool inhibit,
                       const std::function<void(const std::string&)>& done);

}  // namespace qmctl

#endif  // QT_TOOLS_QMCTL_VIEWS_H
