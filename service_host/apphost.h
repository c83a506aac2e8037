// APPHOST: runs the program named by its start parameters or its Parameters values as a
// service, and ends it when the service stops.
#ifndef QT_SERVICE_HOST_APPHOST_H
#define QT_SERVICE_HOST_APPHOST_H

#include <cstdint>

// The service main: argv[0] is the service name, argv[1] onward the start parameters.
// Starts the child, reports the service running and ends its thread; on any failure it
// reports the service stopped and returns.
void MyServiceStart(int argc, char** argv);

// The control handler: stop ends the child and reports stopped; pause and continue report
// paused and running without touching the child; interrogate reports the status again;
// every other control is unrecognised.
void MyServiceCtrlHandler(uint32_t opcode);

#endif  // QT_SERVICE_HOST_APPHOST_H
