// What a session can tell about other sessions of its own machine: whether their client
// process still lives. The server only learns that a client died when it next reads from the
// connection; a process on the same machine can tell at once.
#include "mqi/postgres/postgres.h"
#include "platform/host.h"

namespace mqi::pg {

const std::string& machineKey() { return platform::machineKey(); }

int32_t clientProcessId() { return platform::currentProcessId(); }

bool processGone(int32_t pid) { return platform::processGone(pid); }

}  // namespace mqi::pg
