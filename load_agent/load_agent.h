// qfeed, the load agent: its process-wide state and its routines.
//
// Start-up reads the settings once (LoadSettings), then an outer loop connects, opens the job
// queue and calls ProcessJob until it asks for a reconnect. ProcessJob gets one job (SRCINFO)
// or ping under syncpoint; a job's folder is searched by ScanFolder, which offers each match
// to TransferFile. TransferFile puts the file's data segments and its SRCDESC header in one
// unit of work with the job's get, checks the file as an XML document when a report folder is
// set, commits, and only then deletes the file. Status records go out through SendLoadStatus.
//
// Single-threaded. The process-wide state is the one object LoadAgent; results are named
// enums that steer the callers' loops.
#ifndef QT_LOAD_AGENT_LOAD_AGENT_H
#define QT_LOAD_AGENT_LOAD_AGENT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "common/poison.h"
#include "common/reconnect.h"
#include "common/retry_pause.h"
#include "mqi/mqi.h"
#include "platform/confine.h"
#include "platform/folder.h"
#include "platform/platform.h"

constexpr size_t kQueueNameSize = 49;  // 48 characters and a NUL
constexpr size_t kPathSize = 260;      // 259 characters and a NUL
constexpr size_t kNumberSize = 13;     // settings numbers and flags: 12 characters and a NUL

struct LoadSettingsT {
  char QMgrName[kQueueNameSize];
  char SrcQueue[kQueueNameSize];
  bool InputExclusiveON;
  char LogPath[kPathSize];
  // Where a file that fails the XML check is moved; empty means LogPath/rejected.
  char RejectPath[kPathSize];
  int32_t FolderWaitTime;
  int32_t MQWaitTime;
  // Folders that jobs and their files must lie beneath; empty: any.
  char SourceRoots[platform::kRootListSize];
  // Where marks of committed loads go (see SettleLoadedFiles); empty keeps none.
  char LoadedQueue[kQueueNameSize];
};

struct JobContextT {
  char receiverQueue[kQueueNameSize];
  char replyToQ[MQ_Q_NAME_LENGTH];
  char replyToQMgr[MQ_Q_MGR_NAME_LENGTH];
  uint32_t srcId;
  char isLog;
  MQBYTE24 jobMsgId;  // the job message's, for its back-outs
};

// Everything the load agent keeps for the life of the process. The rule for state in both
// agents: what the agent keeps from one turn to the next (settings, the job, connection facts,
// names kept for later files) is a member of the agent's one state object, named as the
// agent's design names it; scratch buffers and clock-derived texts (timestamps, the name stamp)
// stay in the unnamed namespace of the one file that uses them.
struct LoadAgentState {
  LoadSettingsT LoadSettings;    // read once at start-up
  JobContextT JobContext;        // the job being worked on
  std::ofstream TransferReport;  // the daily transfer report, opened for each checked file
  PoisonPolicy Poison;           // the job queue's, read at every connection
  BackoutPause JobRetry;         // the pause before a job that was backed out is worked again
};
extern LoadAgentState LoadAgent;

// How the loading of one file ends.
enum class FileResult {
  kNextFile,   // go on with the next file of the folder
  kEndJob,     // the job ends; the connection stays
  kReconnect,  // the job ends; connect again
};

// Copies a name into a 48-byte MQ name field, NUL-filling the rest.
inline void copyObjectName(char* field, const char* text) {
  const size_t length = strnlen(text, MQ_Q_NAME_LENGTH);
  std::memcpy(field, text, length);
  std::memset(field + length, 0, MQ_Q_NAME_LENGTH - length);
}

// ---- start-up and settings ----
// Fills settings from the file (missing file or key: defaults). Writes nothing.
void readLoadSettings(const char* path, LoadSettingsT& settings);
// Resolves the name, fills LoadSettings and writes the start-up parameter lines.
void ReadSettings(const char* fileName);
// The whole program: banner, settings, and the connect / open / job loop for ever.
int RunLoadAgent(int argc, char** argv);

// ---- job loop ----
// Gets and works one job or ping. Ends the process on get-inhibit and on a hard MQ error.
Turn ProcessJob(MQHCONN hConn, MQHOBJ hObj);
// Splits a job path at its last '\' or '/' (never the first character) into folder and mask,
// each of kPathSize bytes; without such a separator both are the whole text.
void splitSourcePath(const char* path, char* folder, char* mask);
// Reads "-rcvrqname NAME" words of an option text into receiverQueue (the last one wins);
// leaves it unchanged when the text does not name one.
void readReceiverQueue(const char* options, char* receiverQueue);

// ---- folder scan and file loading ----
// Offers every file of the folder that matches the mask to TransferFile. A search that cannot
// start asks for a reconnect with its error code left in platform::lastError().
Turn ScanFolder(MQHCONN hConn, const char* folder, const char* mask);
// Loads one file found by the scan in `source`, the folder `folder` held open.
FileResult TransferFile(MQHCONN hConn, const char* folder, const platform::Folder& source,
                        const platform::FindData& entry);
// A job or file outside the SourceRoots: an "F" status naming it with the text of
// "Permission denied".
void RefuseOutsideRoots(MQHCONN hConn, const char* path);
// Joins folder, the native separator and name into out (kPathSize); false when it does not fit.
bool joinPath(const char* folder, const char* name, char* out);

// ---- load marks ----
// Puts the mark of the file being loaded (its path and identity) to LoadedQueue in the load's
// unit of work. Returns 0 (also when no LoadedQueue is set), or the reason of the failed put.
MQLONG PutLoadedMark(MQHCONN hConn, const char* fileName, platform::FileHandle file);
// Takes every mark off LoadedQueue in the current unit of work and deletes each marked file
// that is still in its folder unchanged: its load was committed before the agent stopped.
void SettleLoadedFiles(MQHCONN hConn);

// ---- reject folder ----
// The folder that receives files that failed the XML check (kPathSize bytes).
void rejectFolder(char* out);
// Moves a file that failed the check into the reject folder under a name that no earlier
// reject holds (name, name.1, name.2, ...). The file leaves the source folder only once its
// copy is complete. Writes the new path into movedTo (kPathSize); false on failure with the
// platform error set.
bool moveToRejectFolder(const char* fileName, const char* name, char* movedTo);

// ---- load status ----
// Puts a LOAD_STATUS with the given state and comment to the job's reply queue; msgId may be
// null. Returns 0, or the reason code of a failed put.
MQLONG SendLoadStatus(MQHCONN hConn, const char* state, const char* comment, const MQBYTE* msgId,
                      bool inSyncpoint);

#endif  // QT_LOAD_AGENT_LOAD_AGENT_H
