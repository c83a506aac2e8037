// The test for 16-bit OS/2 programs: reads the DOS header and the new header of an
// executable and classifies the image.
#ifndef QT_SERVICE_HOST_OS2_DETECT_H
#define QT_SERVICE_HOST_OS2_DETECT_H

#include <cstddef>
#include <cstdint>

// Verdicts of MiVerifyImageHeader.
constexpr uint32_t kImageWin32 = 0;                 // a PE image
constexpr uint32_t kImageNotOs2 = 0xC0000130;       // not NE, or run by a DOS extender/loader
constexpr uint32_t kImageWindows16 = 0xC0000131;    // a 16-bit Windows image
constexpr uint32_t kImageOs2 = 0xC000011B;          // an OS/2 image

constexpr size_t kFirstPageSize = 4096;
constexpr size_t kNewHeaderSize = 0x3000;

// True when the file at path is an OS/2 image; false for every other image and for a file
// that cannot be opened or read (fewer than 64 bytes, a new-header offset past the end of
// the file or at or above 2 GiB).
bool IsOs2App(const char* path);

// Classifies the new header. firstPage holds kFirstPageSize bytes (zeros past the end of a
// short file); newHeader holds len bytes read at the new-header offset. Fields of the new
// header that lie past len read as zero.
uint32_t MiVerifyImageHeader(const uint8_t* newHeader, const uint8_t* firstPage, uint32_t len);

// True when the module-reference table of the NE header names "DOSCALLS"; false as soon as
// an entry, its name or the table itself lies outside the len bytes.
bool MiCheckDosCalls(const uint8_t* newHeader, uint32_t len);

#endif  // QT_SERVICE_HOST_OS2_DETECT_H
