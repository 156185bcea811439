// In-process harness: request lines go straight to the dispatcher and every written message is
// captured instead of reaching standard output. Exits are recorded, not performed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu::test {

using Json = nlohmann::json;

// Installs the capturing sink and exit hook; empties the simulated desktop, the session, the
// clock offset and the captured output.
void resetHarness();
// Sends one request line through the dispatcher.
void sendLine(const std::string& line);
// Builds a request {"v":1,"requestId":id,"type":type,...fields} and sends it.
void sendRequest(const std::string& type, const std::string& requestId,
                 const Json& fields = Json::object());
// Messages written since the last take, parsed, oldest first.
std::vector<Json> takeMessages();
// Raw lines written since the last take (each without its line feed).
std::vector<std::string> takeLines();
// Waits up to the timeout for at least count messages in total to be captured.
bool waitForMessages(std::size_t count, double timeoutSeconds);
// The exit status recorded by the last exit, if any.
std::optional<int> recordedExit();

}  // namespace qcu::test
