// The operator's request that a foreground program stop: Ctrl+C or a termination request,
// taken by one waiting thread instead of ending the process at once.
#ifndef QT_PLATFORM_STOP_REQUEST_H
#define QT_PLATFORM_STOP_REQUEST_H

namespace platform {

// Makes the stop requests (SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and the closing
// of the console on Windows) wait for waitForStopRequest, and keeps a peer that goes away in
// the middle of a write (SIGPIPE) from ending the process. Call it before starting threads,
// which then leave the requests to the waiting thread.
void holdStopRequests();
// Returns once a stop request came (at once when one came since holdStopRequests).
void waitForStopRequest();

}  // namespace platform

#endif  // QT_PLATFORM_STOP_REQUEST_H
