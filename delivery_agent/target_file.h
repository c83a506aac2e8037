// The target file of one delivery: directories, creation mode, open with version names,
// flush, and the failure paths that hand the file to the deferred queue.
#ifndef QT_DELIVERY_AGENT_TARGET_FILE_H
#define QT_DELIVERY_AGENT_TARGET_FILE_H

#include <cstddef>

#include "common/reconnect.h"
#include "delivery_agent/delivery.h"
#include "delivery_agent/target_path.h"
#include "mqi/mqi.h"
#include "platform/data_file.h"
#include "platform/platform.h"

// Takes the delivery's createFileMode from its header's Tgt_crtmod.
void SetCreateFileMode(Delivery& delivery);
// "REPLACE" selects kCreateAlways, "NEWVERS" kCreateNew (exact); false for anything else.
bool SelectCreateMode(const char* mode, platform::CreateMode* selected);
// The two invalid-mode lines, then the end of the process with kExitBadHeader: nothing
// committed or backed out.
[[noreturn]] void RejectCreateFileMode(const Delivery& delivery);

// The system text of the last error code, kept in a process-wide buffer of 1024 bytes.
const char* lastErrorText();

// True when the target lies beneath one of the TargetRoots (always true without roots); false
// with the error code of "Permission denied" otherwise.
bool TargetWithinRoots(const Delivery& delivery);
// Creates each missing ancestor directory of the target, from the top down. False on the
// first failure other than "already exists" (the error code stays set), and with the code of
// a missing path for a path that names a drive this system does not have.
bool CreateTargetDirectories(Delivery& delivery);
// Opens the target; under NEWVERS an existing file moves the path to the next version name
// (version 0, 1, ...). The file is written under a private name in the target's folder (see
// delivery.partPath) and appears under its final name at FlushTargetFile. A target that an
// earlier delivery of the same messages already published (a crash came before the commit) is
// recognised: alreadyPublished is set, no file is opened, and nothing is written again.
// False on any other failure (the error code stays set).
bool OpenTargetFile(Delivery& delivery, platform::CreateMode mode, const VersionPattern& pattern);
// Forces the file's data to disk, publishes it under its final name (REPLACE replaces the old
// file in one step; NEWVERS never overwrites and takes the next version name when the chosen one
// was taken meanwhile), then forces the directory entries made for it to disk.
bool FlushTargetFile(Delivery& delivery);
// Forces the directory entries of the target's folder, and of every folder made for it, to disk.
bool FlushTargetDirectories(const Delivery& delivery);

// The 24 bytes of a MsgId as 48 lower-case hex digits and a NUL (kMsgIdHexSize bytes).
constexpr size_t kMsgIdHexSize = 49;
void MsgIdToHex(const MQBYTE* msgId, char* hex);

// The delivery journal of the target's folder (see docs/qdrop.md, "Delivered once"), for
// files that carry no delivery tag or whose names depend on the time.
// True when the journal names a file of the folder that this delivery's messages published
// (same file, same size): delivery.path then names it. False without a journal.
bool FindJournalEntry(Delivery& delivery);
// Opens the folder's journal, made when missing, held locked until it is closed.
bool OpenJournal(Delivery& delivery, platform::DataFile& journal);
// Appends the record of the delivery's file under its chosen name and forces it to disk (with
// replaceLast, the record appended before is overwritten: the name changed).
bool WriteJournalEntry(const Delivery& delivery, platform::DataFile& journal, bool replaceLast);

// The failure paths. Each backs the unit of work out, moves the file's messages to the
// deferred queue (DeferFile), sends a DLVR_STATUS "W" outside syncpoint with the comment
// "path:text", and returns DeferFile's result.
Turn FailDirectory(Delivery& delivery);  // A: a directory could not be created
Turn FailOpen(Delivery& delivery);       // B: the target could not be opened
Turn FailWrite(Delivery& delivery);      // C: a write (or the flush) failed; the file is removed
// A data segment could not be got. A connection-type reason removes the partly written file,
// waits WaitMQInterval and asks for a reconnect (the file is delivered again after it); any
// other reason (a segment missing) takes the deferral of path C.
Turn FailSegment(Delivery& delivery, uint32_t segment, MQLONG reason);

#endif  // QT_DELIVERY_AGENT_TARGET_FILE_H
