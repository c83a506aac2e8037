// The service host's debug messages.
//
// SvcDebugOut writes nowhere unless a sink is set; APPHOST sets the standard-error sink when
// its debug switch (the environment variable APPHOST_DEBUG) is on.
#ifndef QT_SERVICE_HOST_DEBUG_OUT_H
#define QT_SERVICE_HOST_DEBUG_OUT_H

#include <cstdint>
#include <string>

using DebugSink = void (*)(const char* text);

// Formats one message: each %d, %i, %ld, %u, %lu, %x, %lx, %X or %lX takes `value` (as a
// signed 32-bit number for d and i, unsigned otherwise); %% gives %; anything else is copied.
std::string FormatDebugMessage(const char* format, uint32_t value);

void SvcDebugOut(const char* format, uint32_t value);

// Sets where messages go; null (the default) sends them nowhere. Set it before threads start.
void SetDebugOutSink(DebugSink sink);
void DebugOutToStandardError(const char* text);

// True for a debug switch value that is set, not empty and not "0".
bool DebugSwitchOn(const char* value);

#endif  // QT_SERVICE_HOST_DEBUG_OUT_H
