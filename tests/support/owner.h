// The real helper (build/quorvel-cu) as its owner drives it, for end-to-end tests and benchmarks
// on the virtual desktop: list, bind and focus a window of the GTK test application, observe it
// and prepare and commit actions against the latest observation.
//
// Every request waits for its answer with a deadline; a missing answer is a test failure and
// reads as null. Events the helper sends meanwhile are kept in `events`.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "process/child.h"
#include "support/vdesk.h"

namespace qcu::test {

struct OwnerSession {
  Child helper;
  std::vector<Json> events;
  Json hello;        // the answer to "hello"
  Json identity;     // the bound window
  Json observation;  // the latest successful observation
  int requests = 0;
  int attempts = 0;

  // Sends a request and returns its answer (null, and a test failure, when none comes in time).
  Json ask(const std::string& type, const Json& fields = Json::object(),
           double timeoutSeconds = 30);

  // Lists until a window of pid is a candidate and returns that candidate; null (and a test
  // failure) when none is listed in time.
  Json waitForCandidate(pid_t pid, double timeoutSeconds = 30);
  // Binds the candidate and brings it to the front; returns the focus answer.
  Json bindAndFocus(const Json& candidate);
  // Observes the bound window until an element labelled label is in the observation (the
  // application registers with the accessibility bus a little after its window shows); returns
  // the observation, null (and a test failure) when it does not come in time.
  Json observeUntilLabel(const std::string& label, double timeoutSeconds = 30);
  // The element of the latest observation labelled label; null (and a test failure) when none.
  Json element(const std::string& label) const;

  // Prepares an action against the latest observation; returns the answer.
  Json prepare(const Json& action, const Json& fields = Json::object());
  // Commits a prepared action; returns the answer.
  Json commit(const Json& prepared, double timeoutSeconds = 60);
  // Both; the commit's answer, or the preparation's when it refused.
  Json act(const Json& action, const Json& fields = Json::object());
};

// Starts the real helper, owned by this test process, on the virtual desktop and says hello.
OwnerSession startOwnerSession();

// The test application on the form fixture with a helper bound to its window, in front, and
// observed with its elements.
struct BoundForm {
  TestApp app;
  OwnerSession owner;
};
BoundForm startBoundForm(const std::string& fixture = "form.json");

// A test on the form fixture, its window bound by a helper of the test's own and observed.
class BoundFormTest : public ::testing::Test {
 protected:
  BoundForm form = startBoundForm();
  OwnerSession& owner = form.owner;
  TestApp& app = form.app;

  void SetUp() override {
    ASSERT_FALSE(owner.observation.is_null()) << "the form was not observed";
  }
};

// The "resolvedElement" that names an element of an observation.
Json resolved(const Json& element);

// Decodes standard base64 (no line breaks); empty when the text is not base64.
std::string decodeBase64(const std::string& text);

}  // namespace qcu::test
