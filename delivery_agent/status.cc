// The delivery status report: one DLVR_STATUS per file that reached the writing stage.
#include <cstring>
#include <iostream>

#include "common/log.h"
#include "common/ping.h"
#include "delivery_agent/delivery.h"

MQLONG BuildDeliveryStatus(DLVR_STATUS& record, const char* state, const char* comment,
                           const TGTDESC& header) {
  initDLVR_STATUS(record);
  record.StructId.assign("KVDS");
  record.Version.assign(1);
  std::memcpy(record.Src_id.bytes, header.Src_id.bytes, sizeof record.Src_id.bytes);
  std::memcpy(record.Tgt_id.bytes, header.Tgt_id.bytes, sizeof record.Tgt_id.bytes);
  std::memcpy(record.Dp_id.bytes, header.Obj_id.bytes, sizeof record.Dp_id.bytes);
  record.State.assign(state);
  record.Comments.assign(comment);
  if (record.Comments.textLength() < sizeof record.Comments.bytes) record.Comments.terminate();
  // The message ends at the record's first zero byte (a zero copied from the header counts).
  const char* bytes = reinterpret_cast<const char*>(&record);
  return static_cast<MQLONG>(strnlen(bytes, sizeof record));
}

MQLONG SendDeliveryStatus(const Delivery& delivery, const char* state, const char* comment,
                          bool syncpoint) {
  DLVR_STATUS record;
  MQLONG length = BuildDeliveryStatus(record, state, comment, *delivery.header);
  dumpRecord(std::cout, record);
  std::cout << logTimestamp() << " Status Queue: " << delivery.statusQueue << "\n";
  std::cout << logTimestamp() << " Status Qmgr : " << delivery.statusQMgr << "\n";
  return putStatusRecord(delivery.hconn, delivery.statusQueue, delivery.statusQMgr, delivery.msgId,
                         syncpoint, &record, length);
}
