// The manifest a publish run leaves on the server, worked out from what it knew before the
// run and what the run did: it lists only what is really there, with the hash of the bytes
// that were sent.
#pragma once

#include "publish/plan.h"
#include "publish/runrecord.h"

#include <optional>

namespace kestrel {

// What the run knew before it began.
struct TManifestBasis {
    const std::optional<TManifest>& old; // the manifest read from the server, if any
    const TPublishPlan& plan;
    const TLocalTree& local;
    const TRemoteTree& remote;
};

// The manifest after the run. A file sent in this run has the hash of the bytes sent; a file
// found unchanged has its local hash only when the old manifest proved it (a file judged by
// size and time alone is left out, so that the next run sends it); a file left as it was
// keeps its old entry while the server still shows it with that size; a file whose old
// content is gone or may be partial has none.
TManifest FinalManifest(const TManifestBasis& basis, const TRunRecord& record);

// The manifest as it may stand while the run changes the server: the final one of a run that
// has done nothing yet, without any file the plan may replace or remove. Nothing when the
// manifest on the server stays true as it is.
std::optional<TManifest> ManifestDuringRun(const TManifestBasis& basis);

} // namespace kestrel
