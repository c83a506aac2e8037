// Target file creation: directories, creation modes, version names, flush and failure paths.
#include "delivery_agent/target_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "delivery_agent/delivery.h"

namespace {

constexpr size_t kErrorTextSize = 1024;
constexpr size_t kCommentSize = kTargetPathSize + 1 + kErrorTextSize;
char errorTextBuffer[kErrorTextSize];

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The directory that a path prefix of `end` characters names; end 0 is the path's root (its
// leading separator) or the current directory.
bool flushPrefix(const char* path, size_t end) {
  char directory[kTargetPathSize];
  if (end == 0) {
    std::snprintf(directory, sizeof directory, "%s", isSeparator(path[0]) ? "/" : ".");
  } else {
    std::snprintf(directory, sizeof directory, "%.*s", static_cast<int>(end), path);
  }
  return platform::flushDirectory(directory);
}

void backOut(MQHCONN hconn, const char* label) {
  MQLONG compCode;
  MQLONG reason;
  MQBACK(hconn, &compCode, &reason);
  reportMqCall(label, compCode, reason);
}

void writeSystemErrorText() {
  std::cerr << SystemErrorText;
  std::cout << SystemErrorText;
}

// The file of a failed delivery goes, under whichever name it has; a file that an earlier
// delivery of the same messages published stays.
void removePartialFile(Delivery& delivery) {
  if (delivery.file != platform::kInvalidFile) platform::closeFile(delivery.file);
  delivery.file = platform::kInvalidFile;
  if (delivery.alreadyPublished || !delivery.folder.isOpen()) return;
  bool unpublished = delivery.partPath[0] != '\0' && !delivery.published;
  const char* path = unpublished ? delivery.partPath : delivery.path;
  platform::deleteFileIn(delivery.folder, path + delivery.pattern.directoryLength);
}

void moveLine(const Delivery& delivery) {
  std::cout << logTimestamp() << " Move file  '" << delivery.path << "' to deferred queue."
            << std::endl;
}

// DeferFile, then the "W" status with the comment taken at the failure.
Turn deferWithStatus(Delivery& delivery, const char* comment) {
  const Turn result = DeferFile(delivery.hconn, delivery.hobj, delivery.msgId,
                                delivery.header->MaxSeq.value());
  SendDeliveryStatus(delivery, "W", comment, false);
  return result;
}

void takeComment(const Delivery& delivery, char* comment) {
  std::snprintf(comment, kCommentSize, "%s:%s", delivery.path, lastErrorText());
}

}  // namespace

const char* lastErrorText() {
  std::snprintf(errorTextBuffer, sizeof errorTextBuffer, "%s",
                platform::errorText(platform::lastError()).c_str());
  return errorTextBuffer;
}

void SetCreateFileMode(Delivery& delivery) {
  const auto& mode = delivery.header->Tgt_crtmod;
  const size_t length = mode.textLength();
  std::memcpy(delivery.createFileMode, mode.data(), length);
  delivery.createFileMode[length] = '\0';
}

bool SelectCreateMode(const char* mode, platform::CreateMode* selected) {
  if (std::strcmp(mode, "REPLACE") == 0) {
    *selected = platform::CreateMode::kCreateAlways;
    return true;
  }
  if (std::strcmp(mode, "NEWVERS") == 0) {
    *selected = platform::CreateMode::kCreateNew;
    return true;
  }
  return false;
}

void RejectCreateFileMode(const Delivery& delivery) {
  for (std::ostream* out : {&std::cerr, &std::cout}) {
    *out << logTimestamp() << " Parameter CreateFileMode = " << delivery.createFileMode
         << " invalid.\n";
    *out << logTimestamp() << " Valid values for this parameter:  NEWVERS,REPLACE. exit."
         << std::endl;
  }
  EndProcess(kExitBadHeader);
}

bool TargetWithinRoots(const Delivery& delivery) {
  if (platform::isWithinRoots(DeliveryAgent.Settings.TargetRoots, delivery.path, false)) {
    return true;
  }
  platform::setLastError(EACCES);
  return false;
}

bool CreateTargetDirectories(Delivery& delivery) {
  const char* path = delivery.path;
  char prefix[kTargetPathSize];
  delivery.firstCreatedDirectory = 0;
  if (platform::namesForeignDrive(path)) return false;  // never a folder named "C:"
  for (size_t i = 1; path[i] != '\0'; ++i) {
    if (!isSeparator(path[i])) continue;
    std::memcpy(prefix, path, i);
    prefix[i] = '\0';
    if (platform::createDirectory(prefix)) {
      if (delivery.firstCreatedDirectory == 0) delivery.firstCreatedDirectory = i;
    } else if (!platform::isAlreadyExists(platform::lastError())) {
      return false;
    }
  }
  return true;
}

bool FlushTargetDirectories(const Delivery& delivery) {
  // Every directory whose entries changed: the file's own, and when directories were made
  // for it, each of those and the parent of the topmost.
  const char* path = delivery.path;
  size_t ends[kTargetPathSize];
  size_t count = 0;
  ends[count++] = 0;
  for (size_t i = 1; path[i] != '\0'; ++i) {
    if (isSeparator(path[i])) ends[count++] = i;
  }
  size_t first = count - 1;
  for (size_t j = 1; j < count && delivery.firstCreatedDirectory != 0; ++j) {
    if (ends[j] == delivery.firstCreatedDirectory) first = j - 1;
  }
  for (size_t j = first; j + 1 < count; ++j) {
    if (!flushPrefix(path, ends[j])) return false;
  }
  // The file's own folder is the one it was published in, whatever its path names by now.
  if (delivery.folder.isOpen()) return delivery.folder.flush();
  return flushPrefix(path, ends[count - 1]);
}

Turn FailDirectory(Delivery& delivery) {
  char comment[kCommentSize];
  takeComment(delivery, comment);
  writeSystemErrorText();
  backOut(delivery.hconn, "Rollback");
  return deferWithStatus(delivery, comment);
}

Turn FailOpen(Delivery& delivery) {
  char comment[kCommentSize];
  takeComment(delivery, comment);
  backOut(delivery.hconn, "HOLD file");
  moveLine(delivery);
  return deferWithStatus(delivery, comment);
}

Turn FailWrite(Delivery& delivery) {
  char comment[kCommentSize];
  takeComment(delivery, comment);
  writeSystemErrorText();
  backOut(delivery.hconn, "Rollback");
  removePartialFile(delivery);
  return deferWithStatus(delivery, comment);
}

Turn FailSegmentCount(Delivery& delivery) {
  backOut(delivery.hconn, "Rollback");
  removePartialFile(delivery);
  char comment[kCommentSize];
  std::snprintf(comment, sizeof comment, "%s:The file has more data segments than MaxSeq %u.\n",
                delivery.path, delivery.header->MaxSeq.value());
  moveLine(delivery);
  return deferWithStatus(delivery, comment);
}

Turn FailSegment(Delivery& delivery, uint32_t segment, MQLONG reason) {
  backOut(delivery.hconn, "Rollback");
  removePartialFile(delivery);
  if (isTransientReason(MqCallKind::kConnection, reason)) {
    ExcuseBackout(delivery.msgId);
    platform::sleepMilliseconds(SettingsWait(DeliveryAgent.Settings.WaitMQInterval));
    return Turn::kReconnect;
  }
  char comment[kCommentSize];
  std::snprintf(comment, sizeof comment, "%s:Data segment %u cannot be got, reason %ld.\n",
                delivery.path, segment, static_cast<long>(reason));
  moveLine(delivery);
  return deferWithStatus(delivery, comment);
}
