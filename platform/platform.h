// The operating-system services the agents use, behind one interface.
//
// The agents were designed around a handful of Windows calls (profile strings, wildcard folder
// search, exclusive file handles, the read-only attribute, last-error codes and their texts).
// This header keeps those call shapes so that agent code reads the same on every system; each
// system implements it in its own folder (posix/*_posix.cc, windows/*_win.cc). Agents include
// this header and never call the operating system themselves.
//
// Error model: a call that fails returns false (or an invalid handle) and records an error
// code for the calling thread, read with lastError(). Codes are the system's own (errno on
// POSIX, Win32 error codes on Windows), except that a code is never 0 after a failure;
// errorText() turns a code into the system's message followed by a line feed (CR LF on
// Windows). Calls that succeed leave lastError() unspecified. The code is kept per thread
// apart from errno, so that library calls made between a failure and its
// report (stream output, for one) cannot change it.
//
// Paths: both '/' and '\' are accepted as separators where a path is split or walked; paths
// are passed to the system as given.
#ifndef QT_PLATFORM_PLATFORM_H
#define QT_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// ---- errors ----------------------------------------------------------------------------
int lastError();
void setLastError(int code);
// Records the C library's errno as the last error (0 becomes a generic I/O code) and returns
// it: for failures of the standard library itself, such as a file stream that does not open.
int recordSystemError();
// The system's message text for a code, ending in "\n"; empty when the system has none.
std::string errorText(int code);
// Codes the agents test by meaning.
bool isAlreadyExists(int code);  // a directory or file of that name exists
bool isFileExists(int code);     // an exclusive create met an existing file
bool isNotFound(int code);       // no file of that name, or no folder on the way to it

// ---- process ---------------------------------------------------------------------------
// The working directory into buf (NUL-terminated); false when it does not fit or fails.
bool getCurrentDirectory(char* buf, size_t size);
void sleepMilliseconds(uint32_t ms);
// A pause shorter than a millisecond, for tight retries; a signal may end it early.
void sleepMicroseconds(uint32_t us);
// Keeps memory that the program frees for its own later use rather than handing it back to
// the system at once, which costs every processor the program ran on a flush of its address
// translations: for programs that allocate and free the same amounts over and over, such as
// the agents with a queue manager connection or unit of work per file.
void keepFreedMemory();
// True when a path names an absolute location (a leading '/' on POSIX; a drive letter and
// colon, or a UNC path, on Windows).
bool isAbsolutePath(const char* path);
char pathSeparator();  // '/' on POSIX, '\\' on Windows
// Paths from the other system's peers (jobs, templates) written with '\': turns every
// separator of `path` into this system's own, in place.
void toNativeSeparators(char* path);
// True when the path begins with a drive ("C:"), which names no place on POSIX: a caller then
// fails with the code of a missing path (set here) instead of making a name with a colon.
// Always false on Windows, where drives are the system's own.
bool namesForeignDrive(const char* path);

// ---- settings files --------------------------------------------------------------------
// The profile-string reader of INI files: [section] headers and key=value lines, section and
// key names compared without regard to case, blanks around names and values dropped, the
// first matching key wins. A missing file, section or key copies defaultValue. The value is
// cut to size-1 bytes and NUL-terminated; returns the number of bytes copied (without NUL).
// The file's rules in detail:
//   - lines end in LF or CR LF; a UTF-8 byte order mark at the start is skipped;
//   - blanks and tabs around section names, keys and values do not count;
//   - a line whose first non-blank character is ';' is a comment; a line without '=' that is
//     not a section header is ignored, as is every key line before the first section;
//   - the value is everything after the first '='; a value enclosed in a matching pair of
//     double or single quotes loses the quotes;
//   - a section that occurs twice is searched in file order, so the first such key wins (on
//     Windows the system reads only the first copy of the section);
//   - the default value (null counts as "") has its trailing blanks dropped; a null section
//     or key gives the default (the key and section listings of Windows are not offered);
//   - size 0 copies nothing and returns 0.
// True when `path` is a file that can be read; false with the code (missing, a folder, ...).
// The profile reader gives the defaults for such a file: callers use this to say so.
bool canReadFile(const char* path);
size_t getProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                        size_t size, const char* fileName);

// ---- folder search ---------------------------------------------------------------------
struct FindData {
  char name[260];    // the entry's name, no folder
  bool isDirectory;  // "." and ".." are directories
  bool isReadOnly;   // no write permission bit
  uint64_t size;
};
using FindHandle = void*;
constexpr FindHandle kInvalidFind = nullptr;
// Lists the entries of the folder part of `pattern` whose names match its last component
// (`*` and `?`, without regard to case; `*.*` matches every name), in the system's listing
// order. A search that cannot start returns kInvalidFind with an error code that is never 0
// or 1; a folder with no match returns kInvalidFind with the code of "no such file".
FindHandle findFirstFile(const char* pattern, FindData* data);
bool findNextFile(FindHandle handle, FindData* data);  // false at the end (or on error)
void findClose(FindHandle handle);
// The matcher itself, for the tests and for callers that list folders another way.
bool matchesMask(const char* name, const char* mask);

// ---- files -----------------------------------------------------------------------------
using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;
// Opens an existing file for reading, held so that no other program may have it open: a file
// that another program still holds open (for writing, or at all where that can be known) is
// refused. Refusal sets an error code like any failure.
// On POSIX: the file must be a regular file (anything else is refused with EINVAL, so that a
// FIFO can never block the caller). A write lease taken and dropped at once proves that no
// other open file description exists; the handle then holds an exclusive flock until it is
// closed, which other agents honour. Where the file system grants no lease, the flock alone
// decides. A file in use is refused with EBUSY.
// On Windows: CreateFile with share mode 0; a file in use is refused with
// ERROR_SHARING_VIOLATION, a folder with ERROR_ACCESS_DENIED.
FileHandle openExclusiveForRead(const char* path);
enum class CreateMode { kCreateNew, kCreateAlways };
// Creates a file for writing: kCreateNew fails with an isFileExists() code when it exists;
// kCreateAlways replaces it.
FileHandle createForWrite(const char* path, CreateMode mode);
// Reads up to size bytes; *got receives the count (0 at the end of the file).
bool readFile(FileHandle file, void* buffer, size_t size, size_t* got);
// For the tests of a full disk: with QT_PLATFORM_FAILPOINTS=writeFile@N=CODE in the
// environment, the N-th call of the process (counted from 1) fails with the error code CODE.
// On POSIX the pieces of a file past its first MiB may reach it after the call returns (a
// thread writes them, one file at a time); flushFile, closeFile and readFile wait for them,
// and a write that failed fails the next call on the file. A file written so is closed with
// closeFile only.
bool writeFile(FileHandle file, const void* buffer, size_t size);
// Forces the file's data to stable storage.
bool flushFile(FileHandle file);
bool closeFile(FileHandle file);
bool deleteFile(const char* path);
bool renameFile(const char* from, const char* to);  // replaces `to`
// Creates one directory; fails with an isAlreadyExists() code when it exists.
bool createDirectory(const char* path);
// Forces the directory entries of `path` (a directory) to stable storage.
bool flushDirectory(const char* path);
// Clears the read-only attribute (gives the owner write permission) or sets it, on the file
// itself: a symbolic link is refused (ELOOP), never followed.
bool setReadOnly(const char* path, bool readOnly);

}  // namespace platform

#endif  // QT_PLATFORM_PLATFORM_H
