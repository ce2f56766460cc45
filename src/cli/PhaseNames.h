#pragma once

#include "engine/UpdateJob.h"

#include <QString>

// How the human displays name a phase: "connecting", "sending", "writing", ...
QString phaseName(UpdateJob::Phase phase);
