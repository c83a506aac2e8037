// qdrop, the delivery agent: writes files from its delivery queue into the target file system.
// Usage: qdrop [settings file]   (default "qdrop.ini" in the current directory)
#include <iostream>

#include "common/log.h"
#include "delivery_agent/delivery.h"
#include "delivery_agent/target_path.h"

int main(int argc, char** argv) {
  initLogStreams();
  platform::keepFreedMemory();
  std::cout << "\n" << logTimestamp() << " TX-KV delivery agent for files has started."
            << std::endl;
  char settingsFile[kTargetPathSize * 2];
  SettingsFilePath(argc > 1 ? argv[1] : nullptr, settingsFile, sizeof settingsFile);
  ReadDeliverySettings(settingsFile);
  // What deliveries killed half-way left behind goes before anything new is written.
  platform::removeLeftovers(DeliveryAgent.Settings.TargetRoots, ".qdrop-", ".part");
  RunDeliveryAgent();
}
