// Confinement helpers shared by the Windows files of the platform layer (not part of its
// interface).
#ifndef QT_PLATFORM_WINDOWS_CONFINE_WIN_H
#define QT_PLATFORM_WINDOWS_CONFINE_WIN_H

#include <string>

namespace platform::windows {

// The path the system holds for an open file or folder (a HANDLE), without the "\\?\" prefix;
// empty when it cannot be read.
std::string finalPathOf(void* handle);
// True when `path` names one of `roots` itself (as written, without regard to case, either
// separator, trailing separators, or as the system resolves the root) or lies beneath one (see
// isBeneath, the last component resolved): where a confined folder may be opened.
bool isFolderWithinRoots(const char* roots, const char* path);

}  // namespace platform::windows

#endif  // QT_PLATFORM_WINDOWS_CONFINE_WIN_H
