// The platform layer's own failpoint, for tests that need a write to fail on a system where the
// disk cannot be filled on purpose: QT_PLATFORM_FAILPOINTS=writeFile@N=CODE makes the Nth
// writeFile of the process fail with the system error CODE. Used by both systems' files module.
// Entries are separated by ','; an entry NAME=CODE (no count) makes every call of NAME fail,
// for as long as the environment says so (syncData: the flush of a DataFile).
#ifndef QT_PLATFORM_WRITE_FAILPOINT_H
#define QT_PLATFORM_WRITE_FAILPOINT_H

namespace platform::detail {

// The error code the failpoint asks of this call of writeFile, or 0.
int writeFailpoint();
// The error code the failpoint asks of every call of `call` (an entry `call=CODE`), or 0. The
// environment is read at each call: for calls that are rare, never for the write path.
int everyCallFailpoint(const char* call);

}  // namespace platform::detail

#endif  // QT_PLATFORM_WRITE_FAILPOINT_H
