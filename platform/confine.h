// Confinement of an agent to its folders: a path is accepted only when it lies beneath one of
// the configured roots, and stays there when symbolic links on the way are followed.
#ifndef QT_PLATFORM_CONFINE_H
#define QT_PLATFORM_CONFINE_H

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

constexpr size_t kRootListSize = 1024;  // a settings value of roots: ';' between folders

// True when `path` lies beneath `root` (both absolute): no ".." component, and the folders on
// the way, followed through links, stay beneath the root (openat2 with RESOLVE_BENEATH where
// the kernel has it, else each existing folder resolved and compared). Folders that do not
// exist yet are fine. A link with an absolute target counts as leading out where openat2 decides. The last component is resolved too only with `resolveLast`; otherwise it
// is left alone (it is replaced or created, never followed). The root itself is not beneath.
bool isBeneath(const char* root, const char* path, bool resolveLast);
// True when `roots` (folders separated by ';', blanks around them ignored) is empty, or `path`
// lies beneath one of them (see isBeneath).
bool isWithinRoots(const char* roots, const char* path, bool resolveLast);
// The folders of a list of roots, blanks around each removed; empty parts dropped.
std::vector<std::string> splitRoots(const char* roots);

// Removes every regular file beneath each root of `roots` whose name starts with `prefix` and
// ends with `suffix` (links are never followed); returns how many went.
size_t removeLeftovers(const char* roots, const char* prefix, const char* suffix);

}  // namespace platform

#endif  // QT_PLATFORM_CONFINE_H
