// Building the delivery header of a routed file group.
#include "router/delivery_header.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace route {

static_assert(offsetof(TGTDESC, Obj_id) == sizeof(SRCDESC),
              "a delivery header begins with the data header's layout");

std::string sourcePathOf(const SRCDESC& source) {
  return std::string(source.Src_path.data(), source.Src_path.textLength());
}

void buildDeliveryHeader(const SRCDESC& source, const Route& route, TGTDESC* header) {
  initTGTDESC(*header);
  std::memcpy(header, &source, sizeof(SRCDESC));
  std::string srcName = route.srcName;
  if (srcName.empty()) srcName = splitSourcePath(sourcePathOf(source)).name;
  header->Obj_id.assign(route.objId);
  header->Src_name.assign(srcName.c_str());
  header->Is_log.assign(route.isLog.c_str());
  header->Tgt_id.assign(route.tgtId);
  header->Tgt_type.assign(route.tgtType.c_str());
  header->Tgt_path.assign(route.tgtPath.c_str());
  header->Tgt_crtmod.assign(route.tgtCrtmod.c_str());
  header->Options.assign(route.options.c_str());
}

}  // namespace route
