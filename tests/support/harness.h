// In-process harness: request lines go straight to the dispatcher and every written message is
// captured instead of reaching standard output. Exits are recorded, not performed.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/errors.h"
#include "support/wire.h"

namespace qcu::test {

// Installs the capturing sink and exit hook; empties the simulated desktop (no hook), the
// session, the clocks' offsets and the captured output; bounds accessibility calls by 1 second
// as the helper's start-up does; clears the switch that hides the permissions.
void resetHarness();

// A test of the whole helper in-process: the harness reset before and after.
class HelperTest : public ::testing::Test {
 protected:
  void SetUp() override { resetHarness(); }
  void TearDown() override { resetHarness(); }
};

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

// Waits up to the timeout for the answer to the request sent under requestId and returns it;
// the messages taken meanwhile (events, answers to other requests) go to others, or fail the
// test when others is null. Fails the test and returns null when no answer comes in time, and
// fails it when the request is answered twice in what was taken.
Json answerTo(const std::string& requestId, std::vector<Json>* others = nullptr,
              double timeoutSeconds = 10);
// Sends a request under a fresh request id and returns its answer, as answerTo.
Json ask(const std::string& type, const Json& fields = Json::object(),
         std::vector<Json>* others = nullptr, double timeoutSeconds = 10);

// Polls condition until it holds; after timeoutSeconds fails the test, saying what it waited
// for, and returns false.
bool waitUntil(const std::function<bool()>& condition, const std::string& what,
               double timeoutSeconds = 10);

// body throws SafeError with exactly this code and message.
template <typename Body>
void expectSafeError(Body&& body, const std::string& code, const std::string& message) {
  try {
    body();
    ADD_FAILURE() << "no SafeError, expected " << code << ": " << message;
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.message(), message);
  }
}

}  // namespace qcu::test
