// APPHOST: runs the program named by its start parameters or its Parameters values as a
// service, and ends it when the service stops.
#ifndef QT_SERVICE_HOST_APPHOST_H
#define QT_SERVICE_HOST_APPHOST_H

#include <cstdint>

// The service main: argv[0] is the service name, argv[1] onward the start parameters.
// Starts the child, reports the service running and waits for the child: when the child ends
// by itself (no stop control came first), the service is reported stopped with the child's
// exit code. On any failure of the start it reports the service stopped and returns.
void MyServiceStart(int argc, char** argv);

// The control handler: stop ends the child and reports stopped; pause and continue report
// paused and running without touching the child; interrogate reports the status again;
// every other control is unrecognised.
void MyServiceCtrlHandler(uint32_t opcode);

// APPHOST's exit code once the service has stopped: 0 after a stop control; the child's own
// exit code (128 + the signal when one killed it) when the child ended by itself; 1 when the
// service stopped because the start failed (no program, a program that cannot start, no
// parameters).
uint32_t ServiceExitCode();

#endif  // QT_SERVICE_HOST_APPHOST_H
