// Target files written under a private name and published whole, and the recognition of a
// file that a delivery of the same messages published before a crash.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "delivery_agent/delivery.h"
#include "delivery_agent/target_file.h"
#include "platform/data_file.h"
#include "platform/publish.h"

namespace {

// The tag on a published file: the MsgId of its messages and the file's size.
constexpr const char* kDeliveryTag = "qtransfer.delivery";
constexpr size_t kMsgIdSize = 24;
struct DeliveryTag {
  unsigned char msgId[kMsgIdSize];
  unsigned char size[8];  // little-endian
};

DeliveryTag makeTag(const MQBYTE* msgId, uint64_t size) {
  DeliveryTag tag;
  std::memcpy(tag.msgId, msgId, kMsgIdSize);
  for (int i = 0; i < 8; ++i) tag.size[i] = static_cast<unsigned char>(size >> (8 * i));
  return tag;
}

const char* finalName(const Delivery& delivery) {
  return delivery.path + delivery.pattern.directoryLength;
}
const char* partName(const Delivery& delivery) {
  return delivery.partPath + delivery.pattern.directoryLength;
}

// True when `name` is the whole file of this delivery's messages.
bool publishedByThisDelivery(const Delivery& delivery, const char* name) {
  DeliveryTag tag;
  size_t got = 0;
  platform::FileVersion version;
  if (!platform::readFileTag(delivery.folder, name, kDeliveryTag, &tag, sizeof tag, &got) ||
      got != sizeof tag || !platform::versionOf(delivery.folder, name, &version)) {
    return false;
  }
  DeliveryTag expected = makeTag(delivery.msgId, version.size);
  return std::memcmp(&tag, &expected, sizeof tag) == 0;
}

// Anything of that name, a dangling link included, takes a version name.
bool nameTaken(const Delivery& delivery) {
  platform::FileVersion ignored;
  return platform::versionOf(delivery.folder, finalName(delivery), &ignored) ||
         !platform::isNotFound(platform::lastError());
}

bool isLink(const Delivery& delivery) {
  platform::FileVersion ignored;
  return !platform::versionOf(delivery.folder, finalName(delivery), &ignored);
}

// REPLACE: a folder cannot be replaced, nor can a FIFO, device or socket (opening a FIFO
// would wait for a reader for ever); an existing file must be one the agent may write, as when
// it was overwritten in place.
bool checkReplaceable(Delivery& delivery) {
  switch (platform::pathKind(delivery.folder, finalName(delivery))) {
    case platform::PathKind::kMissing:
      return true;
    case platform::PathKind::kDirectory:
      platform::setLastError(EISDIR);
      return false;
    case platform::PathKind::kOther:
      platform::setLastError(EPERM);
      return false;
    case platform::PathKind::kRegularFile:
      delivery.alreadyPublished = publishedByThisDelivery(delivery, finalName(delivery));
      // A link is replaced itself, so what it points at need not be writable.
      return delivery.alreadyPublished || isLink(delivery) ||
             platform::isWritable(delivery.folder, finalName(delivery));
  }
  return true;
}

bool nextVersionPath(Delivery& delivery) {
  if (MakeVersionPath(delivery.path, delivery.pattern, delivery.nextVersion++, delivery.path)) {
    return true;
  }
  platform::setLastError(ENAMETOOLONG);
  return false;
}

// NEWVERS: the first name not taken, or the one this delivery's messages already published.
bool chooseVersion(Delivery& delivery) {
  while (nameTaken(delivery)) {
    if (publishedByThisDelivery(delivery, finalName(delivery))) {
      delivery.alreadyPublished = true;
      return true;
    }
    if (!nextVersionPath(delivery)) return false;
  }
  return true;
}

// ".qdrop-<MsgId in hex>.part" in the target's folder: one private name per delivery, so that
// a delivery made again finds and replaces what its interrupted attempt left.
void makePartPath(Delivery& delivery) {
  char hex[kMsgIdHexSize];
  MsgIdToHex(delivery.msgId, hex);
  std::snprintf(delivery.partPath, sizeof delivery.partPath, "%.*s.qdrop-%s.part",
                static_cast<int>(delivery.pattern.directoryLength), delivery.path, hex);
}

// The folder of the target, beneath the TargetRoots: a folder elsewhere (swapped for a link
// since the roots were checked) fails with the code of "Permission denied".
bool openTargetFolder(Delivery& delivery) {
  char folder[kTargetPathSize];
  const size_t length = delivery.pattern.directoryLength;
  std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(length), delivery.path);
  return delivery.folder.open(DeliveryAgent.Settings.TargetRoots, length == 0 ? "." : folder);
}

// Publishes the private file under its final name. Where the journal keeps the file's record,
// the record follows each change of the name before the name is taken.
bool publish(Delivery& delivery, platform::DataFile& journal) {
  const bool replace = delivery.mode == platform::CreateMode::kCreateAlways;
  while (
      !platform::publishFile(delivery.folder, partName(delivery), finalName(delivery), replace)) {
    if (replace || !platform::isFileExists(platform::lastError())) return false;
    if (!nextVersionPath(delivery)) return false;
    if (journal.isOpen()) WriteJournalEntry(delivery, journal, true);
  }
  delivery.published = true;
  return true;
}

}  // namespace

void MsgIdToHex(const MQBYTE* msgId, char* hex) {
  for (size_t i = 0; i < kMsgIdSize; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(msgId[i]));
  }
}

bool OpenTargetFile(Delivery& delivery, platform::CreateMode mode,
                    const VersionPattern& pattern) {
  delivery.mode = mode;
  delivery.pattern = pattern;
  delivery.nextVersion = 0;
  delivery.written = 0;
  delivery.published = false;
  delivery.alreadyPublished = false;
  delivery.partPath[0] = '\0';
  if (!openTargetFolder(delivery)) return false;
  // The journal finds a file by its MsgId, whatever name the template gives this time.
  delivery.alreadyPublished = FindJournalEntry(delivery);
  bool chosen = delivery.alreadyPublished ||
                (mode == platform::CreateMode::kCreateAlways ? checkReplaceable(delivery)
                                                             : chooseVersion(delivery));
  if (!chosen) return false;
  makePartPath(delivery);
  if (delivery.alreadyPublished) {
    platform::deleteFileIn(delivery.folder, partName(delivery));  // left by the attempt
    return true;
  }
  delivery.file = platform::createFresh(delivery.folder, partName(delivery));
  if (delivery.file == platform::kInvalidFile) return false;
  if (platform::pathKind(delivery.folder, finalName(delivery)) ==
      platform::PathKind::kRegularFile) {
    // REPLACE keeps the file's mode
    platform::copyPermissions(delivery.folder, finalName(delivery), delivery.file);
  }
  return true;
}

bool FlushTargetFile(Delivery& delivery) {
  if (delivery.alreadyPublished) return true;
  if (delivery.partPath[0] == '\0') {
    return platform::flushFile(delivery.file) && FlushTargetDirectories(delivery);
  }
  DeliveryTag tag = makeTag(delivery.msgId, delivery.written);
  const bool tagged = platform::setFileTag(delivery.file, kDeliveryTag, &tag, sizeof tag);
  if (!platform::flushFile(delivery.file)) return false;
  // Without a tag, or with a name that a repeat would not find, the journal keeps the record.
  // Without either the file is still published whole; only a repeat after a crash goes unseen.
  platform::DataFile journal;
  if ((!tagged || delivery.timeInPath) && OpenJournal(delivery, journal) &&
      !WriteJournalEntry(delivery, journal, false)) {
    journal.close();
  }
  if (!publish(delivery, journal)) return false;
  journal.close();
  return FlushTargetDirectories(delivery);
}
