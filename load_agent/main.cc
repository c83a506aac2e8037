// qfeed: loads files from source folders into queues when jobs ask for it. The only argument
// is the settings file (default "qfeed.ini" in the current directory).
#include "load_agent/load_agent.h"

int main(int argc, char** argv) {
  return RunLoadAgent(argc, argv);
}
