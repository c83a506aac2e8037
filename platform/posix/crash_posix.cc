#include <signal.h>
#include <unistd.h>

#include "platform/crash.h"

namespace platform {

void killSelf() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached
}

}  // namespace platform
