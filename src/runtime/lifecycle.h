// Session lifecycle requests: "hello", "cancel", "stop", "shutdown", and the cancellation
// they share with end of input and the owner's disappearance.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qcu {

void handleHello(const std::string& requestId, const nlohmann::json& request);
void handleCancel(const std::string& requestId, const nlohmann::json& request);
void handleStop(const std::string& requestId);
void handleShutdown(const std::string& requestId);

// Empties leases and prepared actions and cancels every running observation and commit.
void cancelEverything();

}  // namespace qcu
