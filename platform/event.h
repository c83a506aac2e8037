// Named events between processes, in the shape of OpenEvent and SetEvent.
//
// An event here is a FIFO named after the event in the events folder: $QT_EVENT_DIR when
// that is set and not empty, else "/run/qtransfer/events". The program that offers an event
// creates it and waits on it; another program opens it and sets it by writing one byte.
// Opening fails cleanly, without waiting, when nobody offers the event: ENOENT when there is
// no such FIFO, ENXIO when the FIFO is left over but nobody waits on it. Event names may not
// be empty, ".", "..", hold a '/' or be longer than 200 bytes (EINVAL).
//
// On Windows an event is the system's own named event object, by the name as given
// (CreateEvent, OpenEvent, SetEvent); it goes with its last handle, so there is no folder and
// nothing to remove, and opening an event that nobody offers fails with ERROR_FILE_NOT_FOUND.
//
// Errors follow platform.h: a failing call returns false or kInvalidEvent and leaves a code
// in lastError().
#ifndef QT_PLATFORM_EVENT_H
#define QT_PLATFORM_EVENT_H

#include <cstdint>
#include <string>

namespace platform {

using EventHandle = intptr_t;
constexpr EventHandle kInvalidEvent = -1;

std::string eventFolder();
// True for a name that every system takes as an event's (see the rules above).
bool isValidEventName(const char* name);

// The setting side (OpenEvent with modify-state access, then SetEvent).
EventHandle openEvent(const char* name);
bool setEvent(EventHandle event);

// The offering side: creates the event (the folder too, when missing) and holds it open.
// waitEvent answers true when the event was set, false after timeoutMs (negative: no limit)
// or on failure. removeEvent deletes the name; closeEvent releases a handle of either side.
EventHandle createEvent(const char* name);
bool waitEvent(EventHandle event, int timeoutMs);
bool removeEvent(const char* name);
bool closeEvent(EventHandle event);

}  // namespace platform

#endif  // QT_PLATFORM_EVENT_H
