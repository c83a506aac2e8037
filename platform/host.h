// What a client of a shared server needs to know about its own machine: its identity, whether
// another process of it still lives, and a wait on a socket another library owns.
#ifndef QT_PLATFORM_HOST_H
#define QT_PLATFORM_HOST_H

#include <cstdint>
#include <string>

namespace platform {

// Host name, boot and process-id namespace: two processes with the same key see the same
// process ids. Containers on one host differ in the namespace.
const std::string& machineKey();
int32_t currentProcessId();
// The name this program was started by, without its folder: the name it reports to others.
const char* programName();
// True only when the process is known to be gone (not for one we may not signal).
bool processGone(int32_t pid);
// Waits until the socket is readable or timeoutMs pass; false on timeout or error.
bool waitSocketReadable(intptr_t socket, int timeoutMs);

}  // namespace platform

#endif  // QT_PLATFORM_HOST_H
