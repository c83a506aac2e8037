// Ending the process the hard way, as a power cut or kill -9 would: no handlers, no flushing.
#ifndef QT_PLATFORM_CRASH_H
#define QT_PLATFORM_CRASH_H

namespace platform {

[[noreturn]] void killSelf();

}  // namespace platform

#endif  // QT_PLATFORM_CRASH_H
