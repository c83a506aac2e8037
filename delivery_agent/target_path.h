// Target paths of the delivery agent: the expansion of a header's path template, the name
// stamp behind its date items, and the version names of NEWVERS deliveries.
#ifndef QT_DELIVERY_AGENT_TARGET_PATH_H
#define QT_DELIVERY_AGENT_TARGET_PATH_H

#include <cstddef>
#include <ctime>

#include "common/records.h"

constexpr size_t kTargetPathSize = 260;  // 259 characters and a NUL

// Expands the template (at most 254 characters, NUL-terminated) into out (kTargetPathSize
// bytes), taking "old" from the header's Src_path. Items: "new(" literal up to ')', "old",
// "YYYY", "UUU", "MM", "DD", "hh", "mm", "ss", "tt" (the stamp counter), "NDS" and "N" (nothing);
// every other character vanishes; every '\\' becomes the system's separator. Advances the name
// stamp first (see below). Returns false
// when the expansion did not fit: out then holds its first 259 characters.
bool ExpandTargetPath(const char* pathTemplate, char* out, const TGTDESC& header);
// The same at a given calendar time, for the tests.
bool ExpandTargetPathAt(const char* pathTemplate, char* out, const TGTDESC& header, time_t now);

// True when the template has a time item ("YYYY" ... "tt"): it expands to another name each
// time, so a delivery made again cannot find its file by name.
bool TemplateUsesTime(const char* pathTemplate, const TGTDESC& header);

// The name stamp, 20 characters "%Y%j%m%d%w%H%M%S" and a two-digit counter, kept for the
// process. A call in a new second formats it afresh with counter 00; a call in the same second
// counts on (99 wraps to 00).
const char* NameStamp();
void AdvanceNameStamp(time_t now);
void ResetNameStamp();  // back to "no second yet", for the tests

// The version names of one target path: the base name (after the last '\' or '/' that is not
// the path's first character) split at its last '.' after its first character.
struct VersionPattern {
  char text[2 * kTargetPathSize + 8];  // NewVersFile as logged: stem "_%d" [ "." extension ]
  size_t directoryLength;              // characters of the path before the base name
  char stem[kTargetPathSize];
  char extension[kTargetPathSize];
  bool hasExtension;
};
void MakeVersionPattern(const char* path, VersionPattern& pattern);
// Writes the path with its base name replaced by version `counter` of the pattern. A '%' of
// the base name stays an ordinary character. Returns false when it does not fit in
// kTargetPathSize (out is then unchanged).
bool MakeVersionPath(const char* path, const VersionPattern& pattern, unsigned counter, char* out);

#endif  // QT_DELIVERY_AGENT_TARGET_PATH_H
