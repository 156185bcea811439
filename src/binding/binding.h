// Binding and focus: a listed candidate becomes the one window the session works on, and that
// window is brought to the front.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qcu {

// Answers "probe_binding": consumes the presented candidate token (or, without one, re-probes
// the current binding), probes the exact window with the full safety checks, checks its title
// against the lease and makes it the binding.
void handleProbe(const std::string& requestId, const nlohmann::json& request);

// Answers "focus_binding": activates the bound window's application, raises the window, waits
// up to 1.5 seconds for it to come to the front and confirms that with a fresh probe.
void handleFocus(const std::string& requestId, const nlohmann::json& request);

}  // namespace qcu
