// qroute: the router between the load agent's receiver queue and the delivery agent's queue.
//
//   qroute [settings-file]      (default qroute.ini in the current directory)
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/platform.h"
#include "router/router.h"
#include "router/settings.h"

namespace {

void printUsage() {
  std::cout << "usage: qroute [settings-file]\n"
               "Moves each loaded file group from the receiver queue to a delivery queue, as\n"
               "the routing table of the settings file (default qroute.ini) says. Runs until\n"
               "the receiver queue is inhibited for get. See docs/qroute.md.\n";
}

}  // namespace

int main(int argc, char** argv) {
  initLogStreams();
  platform::keepFreedMemory();
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    printUsage();
    return route::kExitNormal;
  }
  std::cout << "\n" << logTimestamp() << " TX-KV router for files has started." << std::endl;
  const std::string path = route::resolveSettingsPath(argc > 1 ? argv[1] : "qroute.ini");
  // What cannot be read (a FIFO, say) is never opened: it reads as missing.
  const std::string source = reportUnreadableSettings(path.c_str()) ? path : "";
  std::vector<std::string> errors;
  std::optional<route::RouterSettings> settings = route::readRouterSettings(source, &errors);
  if (!settings) {
    for (const std::string& e : errors) {
      std::cerr << logTimestamp() << " " << path << ": " << e << "\n";
      std::cout << logTimestamp() << " " << path << ": " << e << "\n";
    }
    std::cerr << logTimestamp() << " Settings cannot be used. Exit.\n";
    std::cout << logTimestamp() << " Settings cannot be used. Exit." << std::endl;
    return route::kExitSettings;
  }
  route::printStartupParameters(*settings);
  return route::runRouter(*settings);
}
