// A prepared action waiting for its commit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/probe.h"
#include "desktop/platform.h"
#include "foundation/clock.h"
#include "session/identity.h"

namespace qcu {

struct Prepared {
  // Fixed when the record is made.
  std::string id;
  std::string attemptId;
  Ident identity;
  std::string kind;  // "click", "type", "key" or "scroll"
  ProbeData expected;
  TimePoint expires;
  std::int64_t stopEpoch = 0;
  std::int64_t foregroundEpoch = 0;
  // Filled in during preparation.
  std::vector<std::string> textChunks;
  std::optional<std::string> backendRef;
  std::optional<Point> point;
  std::optional<std::string> key;
  std::int64_t deltaX = 0;
  std::int64_t deltaY = 0;
  std::string method = "coordinates";
  std::optional<std::uint32_t> expectedClipboard;
  std::optional<std::string> transitionKind;
  std::optional<std::string> stateBefore;
  std::optional<std::string> stateAfter;
  std::optional<std::string> expectedValueFP;
  std::int64_t expectedValueLen = 0;
  std::optional<std::string> expectedAfterFP;
  std::int64_t expectedAfterLen = 0;
  // Set during the commit.
  bool dispatchAccepted = false;
  bool effectMatched = false;
  std::optional<std::uint32_t> clipboardSequence;
};

}  // namespace qcu
