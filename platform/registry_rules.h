// What both systems' parameters modules share (not part of the platform interface).
#ifndef QT_PLATFORM_REGISTRY_RULES_H
#define QT_PLATFORM_REGISTRY_RULES_H

#include <string>
#include <string_view>

namespace platform {

// Names compared as the registry compares them: without regard to case.
bool sameText(std::string_view a, std::string_view b);
// The service name of a parameters key, or empty when the key is not one.
std::string serviceOfKey(std::string_view key);

}  // namespace platform

#endif  // QT_PLATFORM_REGISTRY_RULES_H
