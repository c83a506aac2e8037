// The delivery journal: where a published file cannot carry its delivery tag (a file system
// without extended attributes), or its name depends on the time (so that a repeat expands to
// another name), the target's folder keeps a small file, ".qdrop-journal", of fixed records:
// the MsgId, the size and the file number of each file published there, and its name.
//
// Order against a crash: the record is appended and forced to disk after the file's data and
// before the publish, while the journal is held locked. A record whose publish never happened
// names a file that is not there, or another file (its file number differs, since the private
// file still exists when the delivery comes again): it is passed over and the file is written
// anew. A record whose publish happened finds its file: the delivery is recognised. So a crash
// at any point gives neither a second copy nor a lost file.
#include <cstdio>
#include <cstring>

#include "delivery_agent/delivery.h"
#include "delivery_agent/target_file.h"
#include "platform/data_file.h"
#include "platform/identity.h"
#include "platform/publish.h"

namespace {

constexpr const char* kJournalName = ".qdrop-journal";
constexpr size_t kNameSize = 256;
// The journal is cut back to its newest records once it holds this many: only deliveries not
// yet committed need theirs, one per agent writing into the folder.
constexpr int64_t kJournalLimit = 64;
constexpr int64_t kJournalKept = 15;

// One record, text so that it can be read with a pager: fields separated by blanks, the name
// padded with blanks, a line feed at the end.
struct JournalRecord {
  char msgId[kMsgIdHexSize - 1];
  char blank1;
  char size[20];  // decimal
  char blank2;
  char fileNumber[16];  // hex
  char blank3;
  char nameLength[3];  // decimal
  char blank4;
  char name[kNameSize];
  char lineEnd;
};
static_assert(sizeof(JournalRecord) == 348);
constexpr int64_t kRecordSize = sizeof(JournalRecord);

void putField(char* field, size_t size, const char* format, unsigned long long value) {
  char text[32];
  std::snprintf(text, sizeof text, format, static_cast<int>(size), value);
  std::memcpy(field, text, size);
}

bool makeRecord(const Delivery& delivery, uint64_t fileNumber, JournalRecord* record) {
  const char* name = delivery.path + delivery.pattern.directoryLength;
  const size_t length = std::strlen(name);
  if (length >= kNameSize) return false;
  std::memset(record, ' ', sizeof *record);
  char hex[kMsgIdHexSize];
  MsgIdToHex(delivery.msgId, hex);
  std::memcpy(record->msgId, hex, sizeof record->msgId);
  putField(record->size, sizeof record->size, "%0*llu", delivery.written);
  putField(record->fileNumber, sizeof record->fileNumber, "%0*llx", fileNumber);
  putField(record->nameLength, sizeof record->nameLength, "%0*llu", length);
  std::memcpy(record->name, name, length);
  record->lineEnd = '\n';
  return true;
}

// The number of a decimal or hex field; false when it holds anything else (a torn record).
bool readField(const char* field, size_t size, int base, unsigned long long* value) {
  char text[32];
  std::memcpy(text, field, size);
  text[size] = '\0';
  char* end = nullptr;
  *value = std::strtoull(text, &end, base);
  return end == text + size;
}

// The journal's whole records, from the start; a torn tail (a crash during an append) is cut.
int64_t wholeRecords(platform::DataFile& journal) {
  const int64_t size = journal.size();
  if (size < 0) return -1;
  if (size % kRecordSize != 0) journal.truncate(size - size % kRecordSize);
  return size / kRecordSize;
}

// Keeps the newest records only. Done in place, with a flush between the steps, so that the
// newest records are on disk at every moment: they stay at the end until their copy at the
// start is on disk, and only then is the rest cut.
void trimJournal(platform::DataFile& journal, int64_t records) {
  JournalRecord kept[kJournalKept];
  if (!journal.readAt((records - kJournalKept) * kRecordSize, kept, sizeof kept)) return;
  if (!journal.writeAt(0, kept, sizeof kept) || !journal.syncData()) return;
  if (journal.truncate(sizeof kept)) journal.syncData();
}

}  // namespace

bool FindJournalEntry(Delivery& delivery) {
  platform::DataFile journal;
  if (!journal.openLocked(delivery.folder, kJournalName, false)) return false;
  const int64_t records = wholeRecords(journal);
  char hex[kMsgIdHexSize];
  MsgIdToHex(delivery.msgId, hex);
  // The newest record of the MsgId counts: an older one is of an attempt that came to nothing.
  for (int64_t i = records - 1; i >= 0; --i) {
    JournalRecord record;
    unsigned long long size, fileNumber, length;
    if (!journal.readAt(i * kRecordSize, &record, sizeof record)) return false;
    if (std::memcmp(record.msgId, hex, sizeof record.msgId) != 0) continue;
    if (!readField(record.size, sizeof record.size, 10, &size) ||
        !readField(record.fileNumber, sizeof record.fileNumber, 16, &fileNumber) ||
        !readField(record.nameLength, sizeof record.nameLength, 10, &length) ||
        length >= kNameSize || record.lineEnd != '\n') {
      continue;
    }
    char name[kNameSize];
    std::memcpy(name, record.name, length);
    name[length] = '\0';
    platform::FileVersion found;
    if (!platform::versionOf(delivery.folder, name, &found) || found.inode != fileNumber ||
        found.size != size) {
      return false;
    }
    const size_t directory = delivery.pattern.directoryLength;
    if (directory + length >= sizeof delivery.path) return false;
    std::memcpy(delivery.path + directory, name, length + 1);
    return true;
  }
  return false;
}

bool OpenJournal(Delivery& delivery, platform::DataFile& journal) {
  return journal.openLocked(delivery.folder, kJournalName, true);
}

bool WriteJournalEntry(const Delivery& delivery, platform::DataFile& journal, bool replaceLast) {
  platform::FileVersion part;
  JournalRecord record;
  if (!platform::identityOfFile(delivery.file, &part) ||
      !makeRecord(delivery, part.inode, &record)) {
    return false;
  }
  int64_t records = wholeRecords(journal);
  if (records < 0) return false;
  if (replaceLast && records > 0) {
    --records;
  } else if (records >= kJournalLimit) {
    trimJournal(journal, records);
    records = wholeRecords(journal);
  }
  return journal.writeAt(records * kRecordSize, &record, sizeof record) && journal.syncData();
}
