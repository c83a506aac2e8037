// The platform layer's own failpoint, for tests that need a write to fail on a system where the
// disk cannot be filled on purpose: QT_PLATFORM_FAILPOINTS=writeFile@N=CODE makes the Nth
// writeFile of the process fail with the system error CODE. Used by both systems' files module.
#ifndef QT_PLATFORM_WRITE_FAILPOINT_H
#define QT_PLATFORM_WRITE_FAILPOINT_H

namespace platform::detail {

// The error code the failpoint asks of this call of writeFile, or 0.
int writeFailpoint();

}  // namespace platform::detail

#endif  // QT_PLATFORM_WRITE_FAILPOINT_H
