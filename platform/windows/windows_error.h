// Error recording shared by the Windows files of the platform layer (not part of its interface).
#ifndef QT_PLATFORM_WINDOWS_WINDOWS_ERROR_H
#define QT_PLATFORM_WINDOWS_WINDOWS_ERROR_H

namespace platform::windows {

// Records `code` (a Win32 error code) as the thread's last error; 0 becomes ERROR_IO_DEVICE,
// because a failure must never leave the code 0. Returns false so that a failing call can end
// with `return fail(...)`.
bool fail(unsigned long code);
// The same with GetLastError().
bool failLastError();
// For the modules whose callers read errno (data files, the cross-process pieces): records
// GetLastError() as fail() does and sets errno to the C library code of the same meaning
// (ENOSPC for a full disk, ENOENT for a missing file...).
bool failLastErrorAsErrno();

}  // namespace platform::windows

#endif  // QT_PLATFORM_WINDOWS_WINDOWS_ERROR_H
