// The delivery header that the router builds from a loaded file's data header.
#ifndef QT_ROUTER_DELIVERY_HEADER_H
#define QT_ROUTER_DELIVERY_HEADER_H

#include "common/records.h"
#include "router/settings.h"

namespace route {

// Fills `header`: the 337 bytes of `source` as they are (StructId KVDT included), then
// Obj_id, Src_name, Is_log, Tgt_id, Tgt_type, Tgt_path, Tgt_crtmod and Options from the
// route. Src_name is the route's, or the file name of the source path when the route gives
// none (cut at 64). Tgt_recfm, Tgt_lrecl and Tgt_ccsid keep their initial blanks and zeros.
void buildDeliveryHeader(const SRCDESC& source, const Route& route, TGTDESC* header);

// The significant text of a data header's Src_path (without trailing blanks).
std::string sourcePathOf(const SRCDESC& source);

}  // namespace route

#endif  // QT_ROUTER_DELIVERY_HEADER_H
