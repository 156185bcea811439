// The "commit_action" request: turns one prepared action into input on the exact target and
// answers with a readback of what happened.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "actions/prepared.h"
#include "binding/probe.h"

namespace qcu {

// Takes the prepared action out of the store, checks that the request matches it and that it
// is still valid, registers the attempt and queues the commit worker on the input queue, which
// writes the one answer. Fails at once (for the dispatcher to answer) when the request cannot
// be committed.
void handleCommit(const std::string& requestId, const nlohmann::json& request);

// The readback object: "matched", "dispatchAccepted", "effectMatched", "detail", "attemptId",
// then the post-action probe's values when there is one, "inputLength" for a "type" and
// "clipboardSequence" for a proven copy or cut.
nlohmann::json readback(const Prepared& prepared, const std::optional<ProbeData>& probe,
                        bool matched, bool dispatch, bool effect, const std::string& detail);

}  // namespace qcu
