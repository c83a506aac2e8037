#include "platform/crash.h"

#include <signal.h>
#include <unistd.h>

namespace platform {

void killSelf() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached
}

}  // namespace platform
