// Error recording shared by the POSIX files of the platform layer (not part of its interface).
#ifndef QT_PLATFORM_POSIX_ERROR_H
#define QT_PLATFORM_POSIX_ERROR_H

namespace platform::posix {

// Records `code` as the thread's last error; 0 becomes EIO, because a failure must never
// leave the code 0. Returns false so that a failing call can end with `return fail(...)`.
bool fail(int code);
// The same with the current errno.
bool failErrno();

}  // namespace platform::posix

#endif  // QT_PLATFORM_POSIX_ERROR_H
