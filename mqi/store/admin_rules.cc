#include "mqi/store/admin_rules.h"

#include <optional>

#include "mqi/mqi.h"
#include "mqi/store/names.h"

namespace mqi {

Status checkQueueManagerName(const std::string& name) {
  if (isValidName(name)) return Status::Ok();
  return Status::Error("invalid queue manager name '" + name + "'", MQRC_Q_MGR_NAME_ERROR);
}

Status checkQueueName(const std::string& queue) {
  if (isValidName(queue)) return Status::Ok();
  return Status::Error("invalid queue name '" + queue + "'", MQRC_OBJECT_NAME_ERROR);
}

Status checkAttributes(const QueueAttributes& a) {
  auto within = [](const std::optional<int32_t>& v, int32_t lo, int32_t hi) {
    return !v || (*v >= lo && *v <= hi);
  };
  if (!within(a.maxMsgLength, 0, 104857600))
    return Status::Error("MaxMsgLength must be 0..104857600");
  if (!within(a.maxQDepth, 0, 999999999)) return Status::Error("MaxQDepth must be 0..999999999");
  if (!within(a.backoutThreshold, 0, 999999999))
    return Status::Error("BackoutThreshold must be 0..999999999");
  if (a.backoutRequeueQName && !a.backoutRequeueQName->empty() &&
      !isValidName(*a.backoutRequeueQName))
    return Status::Error("invalid backout queue name '" + *a.backoutRequeueQName + "'",
                         MQRC_OBJECT_NAME_ERROR);
  if (!within(a.defPriority, 0, 9)) return Status::Error("DefPriority must be 0..9");
  if (!within(a.defPersistence, 0, 1)) return Status::Error("DefPersistence must be 0 or 1");
  if (a.defInputOpenOption && *a.defInputOpenOption != 2 && *a.defInputOpenOption != 4)
    return Status::Error("DefInputOpenOption must be 2 (shared) or 4 (exclusive)");
  if (!within(a.shareability, 0, 1) || !within(a.msgDeliverySequence, 0, 1) ||
      !within(a.inhibitGet, 0, 1) || !within(a.inhibitPut, 0, 1))
    return Status::Error("attribute value out of range");
  return Status::Ok();
}

QueueAttributes withDefaults(const QueueAttributes& a) {
  QueueAttributes full;
  full.maxMsgLength = a.maxMsgLength.value_or(4194304);
  full.maxQDepth = a.maxQDepth.value_or(999999999);
  full.defPriority = a.defPriority.value_or(0);
  full.defPersistence = a.defPersistence.value_or(MQPER_PERSISTENT);
  full.defInputOpenOption = a.defInputOpenOption.value_or(MQOO_INPUT_SHARED);
  full.shareability = a.shareability.value_or(MQQA_SHAREABLE);
  full.msgDeliverySequence = a.msgDeliverySequence.value_or(MQMDS_PRIORITY);
  full.inhibitGet = a.inhibitGet.value_or(MQQA_GET_ALLOWED);
  full.inhibitPut = a.inhibitPut.value_or(MQQA_PUT_ALLOWED);
  full.description = a.description.value_or("");
  full.backoutThreshold = a.backoutThreshold.value_or(0);
  full.backoutRequeueQName = a.backoutRequeueQName.value_or("");
  return full;
}

Status checkRemovable(const QueueInfo& info, const std::string& queue, bool purge) {
  if (info.openInputCount + info.openOutputCount > 0)
    return Status::Error("queue " + queue + " is open", MQRC_OBJECT_IN_USE);
  if (info.currentDepth > 0 && !purge)
    return Status::Error("queue " + queue + " is not empty", MQRC_OBJECT_IN_USE);
  return Status::Ok();
}

}  // namespace mqi
