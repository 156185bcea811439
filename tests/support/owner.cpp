#include "support/owner.h"

#include <openssl/evp.h>

#include <chrono>
#include <thread>

namespace qcu::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool pastDeadline(SteadyClock::time_point start, double seconds) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count() > seconds;
}

}  // namespace

Json OwnerSession::ask(const std::string& type, const Json& fields, double timeoutSeconds) {
  return test::ask(helper, type, "owner-" + std::to_string(++requests), fields, events,
                   timeoutSeconds);
}

Json OwnerSession::waitForCandidate(pid_t pid, double timeoutSeconds) {
  const auto start = SteadyClock::now();
  Json listing;
  for (;;) {
    listing = ask("list_candidates");
    for (const Json& candidate : listing.value("candidates", Json::array())) {
      if (candidate["identity"]["pid"] == pid) return candidate;
    }
    if (pastDeadline(start, timeoutSeconds)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ADD_FAILURE() << "no window of " << pid << " listed within " << timeoutSeconds
                << " s; last listing: " << listing;
  return nullptr;
}

Json OwnerSession::bindAndFocus(const Json& candidate) {
  Json bound = ask("probe_binding", {{"identity", candidate["identity"]},
                                     {"candidateToken", candidate["candidateToken"]}});
  EXPECT_EQ(bound["ok"], true) << bound;
  identity = candidate["identity"];
  Json focused = ask("focus_binding", {{"identity", identity}});
  EXPECT_EQ(focused["ok"], true) << focused;
  return focused;
}

Json OwnerSession::observeUntilLabel(const std::string& label, double timeoutSeconds) {
  const auto start = SteadyClock::now();
  Json answer;
  for (;;) {
    answer = ask("observe", {{"identity", identity}});
    if (answer["ok"] == true) {
      for (const Json& element : answer["observation"]["elements"]) {
        if (element["label"] == label) {
          observation = answer["observation"];
          return observation;
        }
      }
    }
    if (pastDeadline(start, timeoutSeconds)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ADD_FAILURE() << "no element labelled " << label << " observed within " << timeoutSeconds
                << " s; last answer: " << answer.dump().substr(0, 3000);
  return nullptr;
}

Json OwnerSession::element(const std::string& label) const {
  for (const Json& element : observation.value("elements", Json::array())) {
    if (element["label"] == label) return element;
  }
  ADD_FAILURE() << "no element labelled " << label << " in the latest observation";
  return nullptr;
}

Json OwnerSession::prepare(const Json& action, const Json& fields) {
  Json request = fields;
  request["attemptId"] = "attempt-" + std::to_string(++attempts);
  request["identity"] = identity;
  request["action"] = action;
  request["expected"] = observation["probe"];
  return ask("prepare_action", request);
}

Json OwnerSession::commit(const Json& prepared, double timeoutSeconds) {
  return ask("commit_action",
             {{"preparedId", prepared["preparedId"]}, {"attemptId", prepared["attemptId"]}},
             timeoutSeconds);
}

Json OwnerSession::act(const Json& action, const Json& fields) {
  Json prepared = prepare(action, fields);
  if (prepared["ok"] != true) return prepared;
  return commit(prepared);
}

OwnerSession startOwnerSession() {
  virtualDesktop();
  OwnerSession session;
  session.helper = spawnOwnedHelper(QCU_HELPER_REAL);
  session.hello = session.ask("hello", {{"protocolVersion", 1}, {"appVersion", "2.9.93"}});
  EXPECT_EQ(session.hello["ok"], true) << session.hello;
  return session;
}

BoundForm startBoundForm(const std::string& fixture) {
  BoundForm form{startTestApp({"--fixture", fixturePath(fixture)}), startOwnerSession()};
  Json candidate = form.owner.waitForCandidate(form.app.pid);
  if (!candidate.is_null()) {
    form.owner.bindAndFocus(candidate);
    form.owner.observeUntilLabel("Send");
  }
  return form;
}

Json resolved(const Json& element) {
  return {{"backendRef", element["backendRef"]}};
}

std::string decodeBase64(const std::string& text) {
  if (text.size() % 4 != 0) return {};
  std::string out(text.size() / 4 * 3, '\0');
  int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()));
  if (length < 0) return {};
  // The block decoder counts padding as zero bytes.
  std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

}  // namespace qcu::test
