// Target files written under a private name and published whole, and the recognition of a
// file that a delivery of the same messages published before a crash.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "delivery_agent/delivery.h"
#include "delivery_agent/target_file.h"
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

// True when `path` is the whole file of this delivery's messages.
bool publishedByThisDelivery(const Delivery& delivery, const char* path) {
  DeliveryTag tag;
  size_t got = 0;
  uint64_t size = 0;
  if (!platform::readFileTag(path, kDeliveryTag, &tag, sizeof tag, &got) || got != sizeof tag ||
      !platform::regularFileSize(path, &size)) {
    return false;
  }
  DeliveryTag expected = makeTag(delivery.msgId, size);
  return std::memcmp(&tag, &expected, sizeof tag) == 0;
}

// Anything of that name, a dangling link included, takes a version name.
bool nameTaken(const char* path) {
  uint64_t ignored;
  return platform::regularFileSize(path, &ignored) || platform::lastError() != ENOENT;
}

bool isLink(const char* path) {
  uint64_t ignored;
  return !platform::regularFileSize(path, &ignored);
}

// REPLACE: a folder cannot be replaced, nor can a FIFO, device or socket (opening a FIFO
// would wait for a reader for ever); an existing file must be one the agent may write, as when
// it was overwritten in place.
bool checkReplaceable(Delivery& delivery) {
  switch (platform::pathKind(delivery.path)) {
    case platform::PathKind::kMissing:
      return true;
    case platform::PathKind::kDirectory:
      platform::setLastError(EISDIR);
      return false;
    case platform::PathKind::kOther:
      platform::setLastError(EPERM);
      return false;
    case platform::PathKind::kRegularFile:
      delivery.alreadyPublished = publishedByThisDelivery(delivery, delivery.path);
      // A link is replaced itself, so what it points at need not be writable.
      return delivery.alreadyPublished || isLink(delivery.path) ||
             platform::isWritable(delivery.path);
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
  while (nameTaken(delivery.path)) {
    if (publishedByThisDelivery(delivery, delivery.path)) {
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
  char hex[2 * kMsgIdSize + 1];
  for (size_t i = 0; i < kMsgIdSize; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned>(delivery.msgId[i]));
  }
  std::snprintf(delivery.partPath, sizeof delivery.partPath, "%.*s.qdrop-%s.part",
                static_cast<int>(delivery.pattern.directoryLength), delivery.path, hex);
}

bool publish(Delivery& delivery) {
  const bool replace = delivery.mode == platform::CreateMode::kCreateAlways;
  while (!platform::publishFile(delivery.partPath, delivery.path, replace)) {
    if (replace || !platform::isFileExists(platform::lastError())) return false;
    if (!nextVersionPath(delivery)) return false;
  }
  delivery.published = true;
  return true;
}

}  // namespace

bool OpenTargetFile(Delivery& delivery, platform::CreateMode mode,
                    const VersionPattern& pattern) {
  delivery.mode = mode;
  delivery.pattern = pattern;
  delivery.nextVersion = 0;
  delivery.written = 0;
  delivery.published = false;
  delivery.alreadyPublished = false;
  delivery.partPath[0] = '\0';
  bool chosen = mode == platform::CreateMode::kCreateAlways ? checkReplaceable(delivery)
                                                            : chooseVersion(delivery);
  if (!chosen) return false;
  makePartPath(delivery);
  if (delivery.alreadyPublished) {
    platform::deleteFile(delivery.partPath);  // a leftover of the interrupted attempt
    return true;
  }
  delivery.file = platform::createFresh(delivery.partPath);
  if (delivery.file == platform::kInvalidFile) return false;
  if (platform::pathKind(delivery.path) == platform::PathKind::kRegularFile) {
    platform::copyPermissions(delivery.path, delivery.file);  // REPLACE keeps the file's mode
  }
  return true;
}

bool FlushTargetFile(Delivery& delivery) {
  if (delivery.alreadyPublished) return true;
  if (delivery.partPath[0] != '\0') {
    // Without tags the file is still published whole; only a repeat after a crash goes unseen.
    DeliveryTag tag = makeTag(delivery.msgId, delivery.written);
    platform::setFileTag(delivery.file, kDeliveryTag, &tag, sizeof tag);
  }
  if (!platform::flushFile(delivery.file)) return false;
  if (delivery.partPath[0] != '\0' && !publish(delivery)) return false;
  return FlushTargetDirectories(delivery);
}
