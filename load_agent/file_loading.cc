// The loading of one file: data segments and SRCDESC header put into the receiver queue in
// one unit of work with the job's get, the transfer report and XML check, the commit, and only
// after the commit the removal of the file from the source folder.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/log.h"
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

bool isTransientReceiverReason(MQLONG reason) {
  switch (reason) {
    case 2009:
    case 2017:
    case 2059:
    case 2161:
    case 2162:
    case 2202:
    case 2203:
      return true;
    default:
      return false;
  }
}

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

void waitAfterMqError(MQLONG compCode, MQLONG reason) {
  toBoth(" MQ error has occured. CC = ", compCode, ", RC = ", reason, ". Waiting ",
         LoadSettings.MQWaitTime, " milliseconds  for next attempt to proceed folder.\n");
  platform::sleepMilliseconds(static_cast<uint32_t>(LoadSettings.MQWaitTime));
}

void closeReceiver(MQHCONN hConn, MQHOBJ* hRecv) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQCLOSE(hConn, hRecv, MQCO_NONE, &compCode, &reason);
  reportMqCall("Close receiver queue.", compCode, reason);
}

void backOut(MQHCONN hConn, const char* callName) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQBACK(hConn, &compCode, &reason);
  reportMqCall(callName, compCode, reason);
}

// A data segment or the header could not be put: back out and reconnect after a pause,
// whatever the reason.
int32_t putFailure(MQHCONN hConn, MQHOBJ* hRecv, platform::FileHandle file, MQLONG putCompCode,
                   MQLONG putReason) {
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQBACK(hConn, &compCode, &reason);
  closeReceiver(hConn, hRecv);
  platform::closeFile(file);
  sendFailure(hConn,
              "Unexpected Websphere MQ condition on put message to receiver queue, "
              "Compcode = %d, Reason = %d",
              putCompCode, putReason);
  MQDISC(&hConn, &compCode, &reason);
  reportMqCall("Disconnect from queue manager.", compCode, reason);
  waitAfterMqError(putCompCode, putReason);
  return 1;
}

// The receiver queue cannot be opened: the file is closed and untouched.
int32_t receiverOpenFailure(MQHCONN hConn, const char* fileName, platform::FileHandle file,
                            MQLONG openCompCode, MQLONG openReason) {
  std::cout << logTimestamp() << " Close file  : " << fileName << std::endl;
  if (!platform::closeFile(file)) systemErrorToBoth();
  MQLONG compCode = 0;
  MQLONG reason = 0;
  if (isTransientReceiverReason(openReason)) {
    MQDISC(&hConn, &compCode, &reason);
    reportMqCall("Disconnect from Queue Manager", compCode, reason);
    waitAfterMqError(openCompCode, openReason);
    return 1;
  }
  sendFailure(hConn,
              "Unexpected Websphere MQ condition on open receiver queue, Compcode = %d, "
              "Reason = %d",
              openCompCode, openReason);
  MQDISC(&hConn, &compCode, &reason);
  reportMqCall("Disconnect from Queue Manager", compCode, reason);
  toBoth(" Hard MQ error has occured. Exit.\n");
  EndProcess();
}

// Runs the XML check of a loaded file and writes its transfer report into the open report
// stream. False when the file fails the check.
bool checkDocument(const char* fileName) {
  bool passed = true;
  {
    XMLChecker checker;
    transferReport << "Adapter PRM TLQ ZN version 1.0\n" << std::flush;
    transferReport << "Date: " << reportTimestamp() << "\n" << std::flush;
    transferReport << "Following data was transferred:\n" << std::flush;
    checker.OpenInput(fileName);
    try {
      checker.Run();
      transferReport << "End of data.\n" << std::flush;
    } catch (const XMLException& exception) {
      passed = false;
      transferReport << exception;
    }
    transferReport.close();
  }
  return passed;
}

// Opens the daily report file under LogPath for appending; false with the error recorded.
bool openTransferReport() {
  char reportName[kPathSize];
  if (!joinPath(LoadSettings.LogPath, logFileName(), reportName)) {
    platform::setLastError(ENAMETOOLONG);
    return false;
  }
  transferReport.clear();
  transferReport.open(reportName, std::ios::out | std::ios::app);
  if (transferReport.is_open()) return true;
  platform::recordSystemError();
  transferReport.clear();
  return false;
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

}  // namespace

int32_t TransferFile(MQHCONN hConn, const char* folder, const platform::FindData& entry) {
  char fileName[kPathSize];
  if (!joinPath(folder, entry.name, fileName)) {
    // Cannot be named within the path limit, so it can never be loaded: pass it over.
    std::cout << logTimestamp() << " File found  : " << folder << platform::pathSeparator()
              << entry.name << std::endl;
    platform::setLastError(ENAMETOOLONG);
    systemErrorToBoth();
    return 0;
  }
  std::cout << logTimestamp() << " File found  : " << fileName << std::endl;

  if (entry.isReadOnly) {
    if (!platform::setReadOnly(fileName, false)) systemErrorToBoth();
    std::cout << logTimestamp() << " Read Only attr of '" << fileName
              << "' was disabled by agent.\n"
              << std::flush;
  }

  std::cout << logTimestamp() << " Open file   : " << fileName << std::endl;
  platform::FileHandle file = platform::openExclusiveForRead(fileName);
  if (file == platform::kInvalidFile) {
    systemErrorToBoth();
    if (LoadSettings.FolderWaitTime != 0) {
      toBoth(" Processig delayed for file '", fileName,
             "' due to system error. Search for next file.\n");
    }
    return 2;
  }

  MQOD od = {MQOD_DEFAULT};
  copyObjectName(od.ObjectName, JobContext.receiverQueue);
  MQHOBJ hRecv = -1;
  MQLONG compCode = 0;
  MQLONG reason = 0;
  MQOPEN(hConn, &od, MQOO_OUTPUT + MQOO_FAIL_IF_QUIESCING, &hRecv, &compCode, &reason);
  reportMqCall("Open Receiver Queue", compCode, reason);
  if (compCode == MQCC_FAILED) return receiverOpenFailure(hConn, fileName, file, compCode, reason);

  // One descriptor for every put of the file: the MsgId that the first put receives is kept
  // by all later puts and identifies the file's messages.
  MQMD md = {MQMD_DEFAULT};
  md.CodedCharSetId = MQCCSI_Q_MGR;
  std::memcpy(md.Format, MQFMT_NONE, MQ_FORMAT_LENGTH);
  md.Priority = 0;
  md.Persistence = MQPER_PERSISTENT;
  uint32_t segments = 0;
  for (;;) {
    size_t got = 0;
    if (!platform::readFile(file, segmentBuffer, sizeof segmentBuffer, &got)) {
      const int readError = platform::lastError();
      systemErrorToBoth();
      backOut(hConn, "Cannot read file");
      sendSystemFailure(hConn, fileName, readError);
      platform::closeFile(file);
      closeReceiver(hConn, &hRecv);
      return 0;
    }
    if (got == 0) break;
    ++segments;
    setSegmentCorrelId(md.CorrelId, segments);
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT + MQPMO_FAIL_IF_QUIESCING;
    pmo.Timeout = -1;
    MQPUT(hConn, hRecv, &md, &pmo, static_cast<MQLONG>(got), segmentBuffer, &compCode, &reason);
    reportMqCall("Cannot put file into queue", compCode, reason);
    if (compCode == MQCC_FAILED) return putFailure(hConn, &hRecv, file, compCode, reason);
  }

  SRCDESC header;
  initSRCDESC(header);
  header.MaxSeq.assign(segments);
  header.Src_path.assign(fileName);
  header.Src_id.assign(JobContext.srcId);
  md.CodedCharSetId = MQCCSI_Q_MGR;
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setSegmentCorrelId(md.CorrelId, 0);
  dumpRecord(std::cout, header);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT + MQPMO_FAIL_IF_QUIESCING;
  pmo.Timeout = -1;
  MQPUT(hConn, hRecv, &md, &pmo, sizeof header, &header, &compCode, &reason);
  reportMqCall("Put file into queue", compCode, reason);
  if (compCode == MQCC_FAILED) return putFailure(hConn, &hRecv, file, compCode, reason);

  if (JobContext.isLog == 'Y') {
    char comment[kCommentSize];
    std::snprintf(comment, sizeof comment, "File '%s' was loaded successfully.", fileName);
    if (SendLoadStatus(hConn, "X", comment, md.MsgId, true) != 0) {
      MQBACK(hConn, &compCode, &reason);
      MQCLOSE(hConn, &hRecv, MQCO_NONE, &compCode, &reason);
      sendFailure(hConn,
                  "File '%s' was not loaded successfully because put status information was "
                  "failed.",
                  fileName);
      reportMqCall("Close receiver queue.", compCode, reason);
      toBoth(" File '", fileName, "' was not loaded successfully.\n");
      platform::closeFile(file);
      return 2;
    }
  }

  toBoth(" Close file  : ", fileName, "\n");
  if (!platform::closeFile(file)) {
    const int closeError = platform::lastError();
    systemErrorToBoth();
    sendSystemFailure(hConn, fileName, closeError);
    backOut(hConn, "Rollback.");
    closeReceiver(hConn, &hRecv);
    toBoth(" File '", fileName, "' was not loaded successfully.\n");
    return 2;
  }

  bool badXml = false;
  if (LoadSettings.LogPath[0] != '\0') {
    if (!openTransferReport()) {
      std::cerr << logTimestamp() << " Open log file.\n" << SystemErrorText;
      std::cout << logTimestamp() << " Open log file.\n" << SystemErrorText;
      backOut(hConn, "Rollback.");
      closeReceiver(hConn, &hRecv);
      return 0;
    }
    badXml = !checkDocument(fileName);
  }

  if (badXml) {
    backOut(hConn, "Rollback  file load.");
    toBoth(" File ", fileName, " was not loaded bad XML\n");
    closeReceiver(hConn, &hRecv);
    rejectFile(fileName, entry.name);
    return 0;
  }

  MQCMIT(hConn, &compCode, &reason);
  reportMqCall("Commit file load.", compCode, reason);
  const bool committed =
      compCode == MQCC_OK || (compCode == MQCC_WARNING && reason != MQRC_BACKED_OUT);
  MQLONG closeCompCode = 0;
  MQLONG closeReason = 0;
  MQCLOSE(hConn, &hRecv, MQCO_NONE, &closeCompCode, &closeReason);
  if (!committed) {
    // The file is the only copy of its data, so it stays. The back-out makes sure that no
    // later disconnect commits what this failed commit may have left open.
    MQBACK(hConn, &closeCompCode, &closeReason);
    toBoth(" File '", fileName, "' was not loaded successfully.\n");
    return 1;
  }
  std::cout << logTimestamp() << " Delete file : " << fileName << std::endl;
  if (!platform::deleteFile(fileName)) {
    systemErrorToBoth();
    toBoth(" File '", fileName, "' was loaded but could not be deleted.\n");
  }
  return 1;
}
