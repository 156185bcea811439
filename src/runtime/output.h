// The one writer of standard output: every response, error and event leaves through
// writeMessage as one compact JSON line, within the message size limit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "session/identity.h"

namespace qcu {

using Json = nlohmann::json;

// Serialises and writes one message under the output lock; never fails towards its caller.
void writeMessage(const Json& message);
// {"v":1,"type":type,"requestId":requestId,"ok":true} with the result's keys merged in.
void writeOk(const std::string& type, const std::string& requestId,
             const Json& result = Json::object());
// The six-key error response; an empty requestId becomes "none".
void writeError(const std::string& requestId, const std::string& code, const std::string& message);
// An unsolicited event with a fresh "event:" id.
void emitEvent(const std::string& name, const std::optional<Ident>& identity,
               const std::string& detail);

// The serialised bytes of one message as writeMessage would send them, without the line feed.
std::string serializeMessage(const Json& message);

// Where finished lines go: by default standard output, written and flushed at once. In-process
// tests install their own sink. The sink is called under the output lock.
using OutputSink = void (*)(std::string_view line);
void setOutputSink(OutputSink sink);

// Ends the process with the status: flushes standard output under the output lock, then _exit.
// In-process tests install a hook instead, which records the status and returns.
using ExitHook = void (*)(int status);
void setExitHook(ExitHook hook);
void exitProcess(int status);

}  // namespace qcu
