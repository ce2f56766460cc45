#pragma once

#include "history/UpdateEnd.h"
#include "history/UpdateHistory.h"
#include "history/UpdateRecord.h"

struct UpdateRequest;
struct UpdateResult;

// What the history keeps of an update job, the same for every front end: the row a request
// begins, and how a result ends it.
namespace JobRecords {

// frontend: "window", "cli" or "station"; runId: the station's run, else empty. The file's size
// and SHA-256 are left for the history (it reads the file on its own thread) or the result.
UpdateRecord begin(const UpdateRequest& request, const QString& frontend, const QString& runId = {});

// Completes the row of `handle` with the result and what the check learnt of the file. outcome:
// the front end's name for it when it differs from the engine's ("interrupted" for an update that
// an interrupt or a cancelled run ended); empty for the engine's.
void finish(UpdateHistory& history, HistoryHandle handle, const UpdateResult& result,
            const QString& outcome = {});

} // namespace JobRecords
