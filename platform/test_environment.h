// The environment calls of the tests on every system: the tests set and remove variables with
// the POSIX calls, which the Windows C runtime names otherwise.
#ifndef QT_PLATFORM_TEST_ENVIRONMENT_H
#define QT_PLATFORM_TEST_ENVIRONMENT_H

#include <stdlib.h>

#ifdef _WIN32
// An empty value removes the variable there, as unsetenv does.
inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
  return _putenv_s(name, "");
}
#endif

#endif  // QT_PLATFORM_TEST_ENVIRONMENT_H
