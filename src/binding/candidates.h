// Candidate listing: the windows the owner may bind to, each with a single-use candidate token
// backed by a 30-second lease in the session store.
#pragma once

#include <string>

namespace qcu {

// Answers "list_candidates": walks the on-screen windows front to back within a time budget,
// leaves out what is not an ordinary application window, counts what the safety policy refuses,
// and lists the rest (at most 128, trimmed to fit one message). Every earlier token becomes
// invalid. Fails only with the error of requirePermissions.
void handleListCandidates(const std::string& requestId);

}  // namespace qcu
