// The "observe" request: a bounded, safe picture of one exact window, made on the observation
// queue under a 5-second budget, answered exactly once.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "foundation/clock.h"
#include "foundation/sync.h"
#include "observation/element.h"
#include "session/identity.h"

namespace qcu {

// Largest compact JSON encoding of {"observation": observation object}, in bytes.
inline constexpr std::size_t OBSERVATION_RESPONSE_BYTES = 64512;
// Largest sum over the kept labels of their UTF-8 length plus 1.
inline constexpr std::size_t OBSERVATION_TEXT_BYTES = 16384;
// How long the element references of an observation resolve, in seconds.
inline constexpr double ELEMENT_TTL = 30.0;

// Registers the observation under the request id and queues it; the answer comes later from
// the observation queue or from the observation's timer. Fails at once (for the dispatcher to
// answer) on a missing or malformed "identity" or a request id still in use.
void handleObserve(const std::string& requestId, const nlohmann::json& request);

// A finished observation: its wire object and the element entries it registers.
struct Observation {
  nlohmann::json object;
  std::map<std::string, std::shared_ptr<const ElementEntry>> entries;  // by backendRef
};

// Observes the exact window. Throws SafeError for every refusal, CancelledError when the token
// is cancelled, and whatever a callee throws; nothing is stored in the session. The answer is
// kept within responseBudget bytes as fitObservation measures it.
Observation executeObserve(const Ident& ident, const CancelToken& token,
                           std::size_t responseBudget = OBSERVATION_RESPONSE_BYTES);

// CancelledError when the token is cancelled; otherwise "observe_timeout" once more than the
// observation timeout has passed since start.
void requireBudget(const CancelToken& token, TimePoint start);

// Brings the byte length of {"observation": observation} within budget: the screenshot goes
// first, then the last tenth of the elements (at least one) at a time, and, in the last resort,
// the last lines of the text. Records "response-size-limit" in omissions and in the object.
void fitObservation(nlohmann::json& observation, std::set<std::string>& omissions,
                    std::size_t budget);

}  // namespace qcu
