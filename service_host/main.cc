// APPHOST's entry: the service dispatcher. Usage: APPHOST SERVICE-NAME [start parameters...]
// The command line belongs to the dispatcher, which hands it to the service main.
#include <cstdlib>

#include "platform/platform.h"
#include "platform/service.h"
#include "service_host/apphost.h"
#include "service_host/debug_out.h"

int main(int argc, char** argv) {
  if (DebugSwitchOn(std::getenv("APPHOST_DEBUG"))) {
    SetDebugOutSink(DebugOutToStandardError);
    platform::setServiceTrace(true);
  }
  const platform::ServiceTableEntry table[] = {{"MyService", MyServiceStart}, {nullptr, nullptr}};
  if (!platform::startServiceCtrlDispatcher(table, argc, argv)) {
    SvcDebugOut(" [APPHOST] StartServiceCtrlDispatcher error = %d\n",
                static_cast<uint32_t>(platform::lastError()));
    platform::exitProcess(1);
  }
  platform::exitProcess(ServiceExitCode());
}
