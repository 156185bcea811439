// "prepare_action": an action validated against the exact target and the state the owner saw,
// registered under a fresh id for a later commit. Preparation never sends input.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "actions/prepared.h"
#include "binding/probe.h"
#include "observation/element.h"

namespace qcu {

void handlePrepare(const std::string& requestId, const nlohmann::json& request);

// The per-kind rules, run by handlePrepare in this order on the record it made. Each fills
// fields of the record or fails with a SafeError.

// Resolves "resolvedElement" against the latest observation; returns the entry, if one was named.
std::shared_ptr<const ElementEntry> applyResolvedElement(Prepared& prepared,
                                                         const nlohmann::json& request);
void applyFallbackPoint(Prepared& prepared, const nlohmann::json& request, const ProbeData& probe);
void applyKeyRules(Prepared& prepared, const nlohmann::json& request, const nlohmann::json& action);
void applyScrollRules(Prepared& prepared, const nlohmann::json& request,
                      const nlohmann::json& action, const ProbeData& probe);
void chooseMethod(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element);

}  // namespace qcu
