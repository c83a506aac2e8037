// The loading of one file: data segments and SRCDESC header put into the receiver queue in
// one unit of work with the job's get, the transfer report and XML check, the commit, and only
// after the commit the removal of the file from the source folder.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>

#include "common/log.h"
#include "common/reconnect.h"
#include "common/records.h"
#include "load_agent/load_agent.h"
#include "xml_check/xml_checker.h"

namespace {

constexpr size_t kSegmentSize = 24575;
constexpr size_t kCommentSize = 1024;
char segmentBuffer[kSegmentSize];

// Writes one log line to standard error and then, in the same words, to standard output.
template <typename... Parts>
void toBoth(const Parts&... parts) {
  std::cerr << logTimestamp();
  (std::cerr << ... << parts);
  std::cout << logTimestamp();
  (std::cout << ... << parts);
  std::cout.flush();
}

void systemErrorToBoth() {
  std::cerr << SystemErrorText;
  std::cout << SystemErrorText;
}

// What the loading of one file holds open: the file, the receiver queue and the puts of the
// unit of work. Whatever is still open when the loading ends, on whichever way out, is closed
// in this order: the puts are backed out (unreported), the file is closed (its result not looked
// at), the receiver queue is closed.
class OpenLoad {
 public:
  OpenLoad(MQHCONN hConn, const char* fileName, const platform::Folder& source, const char* name)
      : hConn_(hConn), fileName_(fileName), source_(source), name_(name) {}
  ~OpenLoad() { release(); }
  OpenLoad(const OpenLoad&) = delete;
  OpenLoad& operator=(const OpenLoad&) = delete;

  MQHCONN hConn() const { return hConn_; }
  const char* fileName() const { return fileName_; }
  const platform::Folder& source() const { return source_; }
  const char* name() const { return name_; }
  platform::FileHandle file() const { return file_; }

  // Opens the file for reading, held exclusively; false with the platform error set.
  bool openFile() {
    file_ = platform::openExclusiveForReadIn(source_, name_);
    return file_ != platform::kInvalidFile;
  }
  // Opens the receiver queue of the job for output. From here on the puts are pending.
  bool openReceiver(MQLONG* compCode, MQLONG* reason) {
    MQOD od = {MQOD_DEFAULT};
    copyObjectName(od.ObjectName, LoadAgent.JobContext.receiverQueue);
    MQOPEN(hConn_, &od, MQOO_OUTPUT + MQOO_FAIL_IF_QUIESCING, &hRecv_, compCode, reason);
    reportMqCall("Open Receiver Queue", *compCode, *reason);
    if (*compCode == MQCC_FAILED) return false;
    receiverOpen_ = putsPending_ = true;
    return true;
  }
  // Puts one message of the file under syncpoint, reported under callName.
  MQLONG put(MQMD& md, size_t length, void* data, const char* callName, MQLONG* reason) {
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT + MQPMO_FAIL_IF_QUIESCING;
    pmo.Timeout = -1;
    MQLONG compCode = 0;
    MQPUT(hConn_, hRecv_, &md, &pmo, static_cast<MQLONG>(length), data, &compCode, reason);
    return reportMqCall(callName, compCode, *reason);
  }
  // Closes the file now; false with the platform error set when the close failed.
  bool closeFile() {
    const bool closed = platform::closeFile(file_);
    file_ = platform::kInvalidFile;
    return closed;
  }
  // Backs the puts out, reported under callName (nullptr: not reported).
  void backOut(const char* callName = nullptr) {
    MQLONG compCode = 0;
    MQLONG reason = 0;
    MQBACK(hConn_, &compCode, &reason);
    if (callName != nullptr) reportMqCall(callName, compCode, reason);
    putsPending_ = false;
  }
  // Commits the puts with the job's get; true when the commit took effect.
  bool commit() {
    MQLONG compCode = 0;
    MQLONG reason = 0;
    MQCMIT(hConn_, &compCode, &reason);
    reportMqCall("Commit file load.", compCode, reason);
    putsPending_ = false;
    return compCode == MQCC_OK || (compCode == MQCC_WARNING && reason != MQRC_BACKED_OUT);
  }
  void closeReceiver(bool reported = true) {
    MQLONG compCode = 0;
    MQLONG reason = 0;
    MQCLOSE(hConn_, &hRecv_, MQCO_NONE, &compCode, &reason);
    if (reported) reportMqCall("Close receiver queue.", compCode, reason);
    receiverOpen_ = false;
  }
  // Closes whatever is still open; pending puts are backed out under callName.
  void release(const char* callName = nullptr) {
    if (putsPending_) backOut(callName);
    if (file_ != platform::kInvalidFile) closeFile();
    if (receiverOpen_) closeReceiver();
  }

 private:
  MQHCONN hConn_;
  const char* fileName_;
  const platform::Folder& source_;  // the folder the file is opened and deleted in
  const char* name_;                // the file's name in it
  platform::FileHandle file_ = platform::kInvalidFile;
  MQHOBJ hRecv_ = -1;
  bool receiverOpen_ = false;
  bool putsPending_ = false;
};

// A failure status record outside syncpoint; its own result is not looked at.
void sendFailure(MQHCONN hConn, const char* format, ...) {
  char comment[kCommentSize];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(comment, sizeof comment, format, arguments);
  va_end(arguments);
  SendLoadStatus(hConn, "F", comment, nullptr, false);
}

void sendSystemFailure(MQHCONN hConn, const char* fileName, int errorCode) {
  const std::string text = platform::errorText(errorCode);
  sendFailure(hConn, "During processing file '%s' error has been received. %s", fileName,
              text.c_str());
}

}  // namespace

void RefuseOutsideRoots(MQHCONN hConn, const char* path) {
  toBoth(" ", path, ": ", platform::errorText(EACCES));
  sendSystemFailure(hConn, path, EACCES);
}

namespace {

void waitAfterMqError(MQLONG compCode, MQLONG reason) {
  toBoth(" MQ error has occured. CC = ", compCode, ", RC = ", reason, ". Waiting ",
         LoadAgent.LoadSettings.MQWaitTime, " milliseconds  for next attempt to proceed folder.\n");
  platform::sleepMilliseconds(SettingsWait(LoadAgent.LoadSettings.MQWaitTime));
}

void disconnect(MQHCONN hConn, const char* callName) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQDISC(&hConn, &compCode, &reason);
  reportMqCall(callName, compCode, reason);
}

// The file's full name into fileName (kPathSize). A name beyond the path limit can never be
// loaded: it is logged and passed over (false).
bool nameFoundFile(const char* folder, const platform::FindData& entry, char* fileName) {
  if (!joinPath(folder, entry.name, fileName)) {
    std::cout << logTimestamp() << " File found  : " << folder << platform::pathSeparator()
              << entry.name << std::endl;
    platform::setLastError(ENAMETOOLONG);
    systemErrorToBoth();
    return false;
  }
  std::cout << logTimestamp() << " File found  : " << fileName << std::endl;
  return true;
}

void clearReadOnly(const platform::Folder& source, const char* name, const char* fileName) {
  if (!platform::setReadOnlyIn(source, name, false)) systemErrorToBoth();
  std::cout << logTimestamp() << " Read Only attr of '" << fileName << "' was disabled by agent.\n"
            << std::flush;
}

// The file cannot be opened, most often because its writer still holds it: the job ends and
// a later job finds the file again.
FileResult delayFile(const char* fileName) {
  systemErrorToBoth();
  if (LoadAgent.LoadSettings.FolderWaitTime != 0) {
    toBoth(" Processig delayed for file '", fileName,
           "' due to system error. Search for next file.\n");
  }
  return FileResult::kEndJob;
}

// The receiver queue cannot be opened: the file is closed and untouched.
FileResult receiverOpenFailure(OpenLoad& load, MQLONG openCompCode, MQLONG openReason) {
  std::cout << logTimestamp() << " Close file  : " << load.fileName() << std::endl;
  if (!load.closeFile()) systemErrorToBoth();
  if (isTransientReason(MqCallKind::kReceiverOpen, openReason)) {
    disconnect(load.hConn(), "Disconnect from Queue Manager");
    waitAfterMqError(openCompCode, openReason);
    return FileResult::kReconnect;
  }
  sendFailure(load.hConn(),
              "Unexpected Websphere MQ condition on open receiver queue, Compcode = %d, "
              "Reason = %d",
              openCompCode, openReason);
  disconnect(load.hConn(), "Disconnect from Queue Manager");
  toBoth(" Hard MQ error has occured. Exit.\n");
  EndProcess();
}

// A data segment or the header could not be put: back out and reconnect after a pause,
// whatever the reason.
FileResult putFailure(OpenLoad& load, MQLONG putReason) {
  if (isTransientReason(MqCallKind::kConnection, putReason) || putReason == MQRC_Q_FULL ||
      putReason == MQRC_PUT_INHIBITED) {
    ExcuseBackout(LoadAgent.JobContext.jobMsgId);
  }
  load.release();
  sendFailure(load.hConn(),
              "Unexpected Websphere MQ condition on put message to receiver queue, "
              "Compcode = %d, Reason = %d",
              MQCC_FAILED, putReason);
  disconnect(load.hConn(), "Disconnect from queue manager.");
  waitAfterMqError(MQCC_FAILED, putReason);
  return FileResult::kReconnect;
}

// One descriptor for every put of the file: the MsgId that the first put receives is kept by
// all later puts and identifies the file's messages.
MQMD fileDescriptor() {
  MQMD md = {MQMD_DEFAULT};
  md.CodedCharSetId = MQCCSI_Q_MGR;
  std::memcpy(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH);
  md.Priority = 0;
  md.Persistence = MQPER_PERSISTENT;
  return md;
}

// Puts the file's content as data segments 1, 2, ... and counts them.
std::optional<FileResult> putSegments(OpenLoad& load, MQMD& md, uint32_t* segments) {
  for (;;) {
    size_t got = 0;
    if (!platform::readFile(load.file(), segmentBuffer, sizeof segmentBuffer, &got)) {
      const int readError = platform::lastError();
      systemErrorToBoth();
      load.backOut("Cannot read file");
      sendSystemFailure(load.hConn(), load.fileName(), readError);
      return FileResult::kNextFile;
    }
    if (got == 0) return std::nullopt;
    setSegmentCorrelId(md.CorrelId, ++*segments);
    MQLONG reason = 0;
    if (load.put(md, got, segmentBuffer, "Cannot put file into queue", &reason) == MQCC_FAILED) {
      return putFailure(load, reason);
    }
  }
}

// Puts the SRCDESC header (segment 0) that completes the file's messages.
std::optional<FileResult> putHeader(OpenLoad& load, MQMD& md, uint32_t segments) {
  SRCDESC header;
  initSRCDESC(header);
  header.MaxSeq.assign(segments);
  header.Src_path.assign(load.fileName());
  header.Src_id.assign(LoadAgent.JobContext.srcId);
  md.CodedCharSetId = MQCCSI_Q_MGR;
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setSegmentCorrelId(md.CorrelId, 0);
  dumpRecord(std::cout, header);
  MQLONG reason = 0;
  if (load.put(md, sizeof header, &header, "Put file into queue", &reason) == MQCC_FAILED) {
    return putFailure(load, reason);
  }
  return std::nullopt;
}

// The mark that says this file's load was committed, in the same unit of work.
std::optional<FileResult> putMark(OpenLoad& load) {
  const MQLONG reason = PutLoadedMark(load.hConn(), load.fileName(), load.file());
  if (reason == 0) return std::nullopt;
  return putFailure(load, reason);
}

// The "X" status of a job that asks for a log, in the same unit of work as the file.
std::optional<FileResult> sendLoadedStatus(OpenLoad& load, const MQMD& md) {
  if (LoadAgent.JobContext.isLog != 'Y') return std::nullopt;
  char comment[kCommentSize];
  std::snprintf(comment, sizeof comment, "File '%s' was loaded successfully.", load.fileName());
  if (SendLoadStatus(load.hConn(), "X", comment, md.MsgId, true) == 0) return std::nullopt;
  sendFailure(load.hConn(),
              "File '%s' was not loaded successfully because put status information was "
              "failed.",
              load.fileName());
  load.release();
  toBoth(" File '", load.fileName(), "' was not loaded successfully.\n");
  return FileResult::kEndJob;
}

// Closes the file before it is checked, committed and deleted.
std::optional<FileResult> closeLoadedFile(OpenLoad& load) {
  toBoth(" Close file  : ", load.fileName(), "\n");
  if (load.closeFile()) return std::nullopt;
  const int closeError = platform::lastError();
  systemErrorToBoth();
  sendSystemFailure(load.hConn(), load.fileName(), closeError);
  load.release("Rollback.");
  toBoth(" File '", load.fileName(), "' was not loaded successfully.\n");
  return FileResult::kEndJob;
}

// Opens the daily report file under LogPath for appending; false with the error recorded.
bool openTransferReport() {
  std::ofstream& report = LoadAgent.TransferReport;
  char reportName[kPathSize];
  if (!joinPath(LoadAgent.LoadSettings.LogPath, logFileName(), reportName)) {
    platform::setLastError(ENAMETOOLONG);
    return false;
  }
  report.clear();
  report.open(reportName, std::ios::out | std::ios::app);
  if (report.is_open()) return true;
  platform::recordSystemError();
  report.clear();
  return false;
}

// Runs the XML check of a loaded file and writes its transfer report into the open report
// stream, which it closes. False when the file fails the check.
bool checkDocument(const char* fileName) {
  std::ofstream& report = LoadAgent.TransferReport;
  bool passed = true;
  {
    XMLChecker checker(report);
    report << "Adapter PRM TLQ ZN version 1.0\n" << std::flush;
    report << "Date: " << reportTimestamp() << "\n" << std::flush;
    report << "Following data was transferred:\n" << std::flush;
    checker.OpenInput(fileName);
    try {
      checker.Run();
      report << "End of data.\n" << std::flush;
    } catch (const XMLException& exception) {
      passed = false;
      report << exception;
    }
    report.close();
  }
  return passed;
}

// A file that failed the check leaves the source folder for the reject folder, so that no
// later job meets it again; its only copy is never destroyed.
void rejectFile(const char* fileName, const char* name) {
  char movedTo[kPathSize];
  if (moveToRejectFolder(fileName, name, movedTo)) {
    std::cout << logTimestamp() << " Rejected file '" << fileName << "' was moved to '" << movedTo
              << "'.\n"
              << std::flush;
    return;
  }
  systemErrorToBoth();
  toBoth(" Rejected file '", fileName, "' could not be moved and stays in the folder.\n");
}

// With a report folder set, the file is checked as an XML document and reported; a file that
// fails goes back out of the unit of work and into the reject folder.
std::optional<FileResult> checkLoadedFile(OpenLoad& load, const char* name) {
  if (LoadAgent.LoadSettings.LogPath[0] == '\0') return std::nullopt;
  if (!openTransferReport()) {
    std::cerr << logTimestamp() << " Open log file.\n" << SystemErrorText;
    std::cout << logTimestamp() << " Open log file.\n" << SystemErrorText;
    load.release("Rollback.");
    return FileResult::kNextFile;
  }
  if (checkDocument(load.fileName())) return std::nullopt;
  load.backOut("Rollback  file load.");
  toBoth(" File ", load.fileName(), " was not loaded bad XML\n");
  load.closeReceiver();
  rejectFile(load.fileName(), name);
  return FileResult::kNextFile;
}

// Commits the file's messages with the job's get; only a committed file leaves the folder.
FileResult commitLoad(OpenLoad& load) {
  const bool committed = load.commit();
  load.closeReceiver(false);
  if (!committed) {
    // The file is the only copy of its data, so it stays. The back-out makes sure that no
    // later disconnect commits what this failed commit may have left open.
    load.backOut();
    toBoth(" File '", load.fileName(), "' was not loaded successfully.\n");
    return FileResult::kReconnect;
  }
  std::cout << logTimestamp() << " Delete file : " << load.fileName() << std::endl;
  // Gone already: another agent that shares the LoadedQueue settled this load's mark first.
  if (!platform::deleteFileIn(load.source(), load.name()) && !platform::isNotFound(platform::lastError())) {
    systemErrorToBoth();
    toBoth(" File '", load.fileName(), "' was loaded but could not be deleted.\n");
  }
  return FileResult::kReconnect;
}

}  // namespace

FileResult TransferFile(MQHCONN hConn, const char* folder, const platform::Folder& source,
                        const platform::FindData& entry) {
  char fileName[kPathSize];
  if (!nameFoundFile(folder, entry, fileName)) return FileResult::kNextFile;
  if (!platform::isWithinRoots(LoadAgent.LoadSettings.SourceRoots, fileName, true)) {
    RefuseOutsideRoots(hConn, fileName);
    return FileResult::kNextFile;
  }
  if (entry.isReadOnly) clearReadOnly(source, entry.name, fileName);

  std::cout << logTimestamp() << " Open file   : " << fileName << std::endl;
  OpenLoad load(hConn, fileName, source, entry.name);
  if (!load.openFile()) {
    if (!platform::isOutsideFolder(platform::lastError())) return delayFile(fileName);
    RefuseOutsideRoots(hConn, fileName);  // a link out of the folder, put there meanwhile
    return FileResult::kNextFile;
  }
  MQLONG compCode = 0;
  MQLONG reason = 0;
  if (!load.openReceiver(&compCode, &reason)) return receiverOpenFailure(load, compCode, reason);

  MQMD md = fileDescriptor();
  uint32_t segments = 0;
  if (auto end = putSegments(load, md, &segments)) return *end;
  if (auto end = putHeader(load, md, segments)) return *end;
  if (auto end = putMark(load)) return *end;
  if (auto end = sendLoadedStatus(load, md)) return *end;
  if (auto end = closeLoadedFile(load)) return *end;
  if (auto end = checkLoadedFile(load, entry.name)) return *end;
  return commitLoad(load);
}
