// Files deleted by a thread of the process.
//
// Deleting a large file costs its deleter the time the system takes to let go of the file's
// cached pages: about 30 ms for 64 MiB. The payload files that a commit leaves without a live
// extent are handed here, so that MQCMIT returns once the rows are gone and the process's
// next call does not wait for the deletion either.
//
// The files are dead before they are handed over: no row points into them and their names are
// never used again. A session's disconnect waits until its process has deleted every file
// handed over, so a process killed before is still connected: whoever backs out its
// connection deletes the files it left (removeUnlistedPayloadFiles), as does any qmctl call.
#ifndef QT_MQI_EMBEDDED_FILE_REMOVER_H
#define QT_MQI_EMBEDDED_FILE_REMOVER_H

#include <string>
#include <vector>

namespace mqi::embedded {

// Hands the files over for deletion; deletes them at once when the process is ending.
void removeFilesLater(std::vector<std::string> paths);

// Waits until every file handed over by this process is deleted.
void awaitFileRemovals();

}  // namespace mqi::embedded

#endif  // QT_MQI_EMBEDDED_FILE_REMOVER_H
