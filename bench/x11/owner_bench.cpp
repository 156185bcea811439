// Actions as the owner sees them, on the desktop named by DISPLAY (run inside scripts/vdesk): the
// real helper over pipes, bound to the GTK test application's form. Each iteration observes the
// form first (not timed), then times the "commit_action" round trip, which holds the dispatch,
// the wait for the proven effect and the probes around them:
//   - OwnerVerifiedClick: pressing the check box with its off-to-on transition declared, the
//     effect proven (target: proven at most 100 ms after dispatch);
//   - OwnerType100Characters: typing 100 characters into the empty entry in chunks of 16, the
//     value proven against the predicted one (target: at most 200 ms).
#include <benchmark/benchmark.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process/child.h"

namespace {

using nlohmann::json;
using qcu::test::Child;
using SteadyClock = std::chrono::steady_clock;

struct Form {
  Child app;
  Child helper;
  std::vector<json> events;
  json identity;
  json observation;
  int requests = 0;
  int attempts = 0;

  json ask(const std::string& type, const json& fields = json::object()) {
    return qcu::test::ask(helper, type, "bench-" + std::to_string(++requests), fields, events, 30);
  }
  json appCommand(const json& request) {
    app.write(request.dump() + "\n");
    auto answer = app.readMessage(30.0);
    return answer ? *answer : json();
  }
  json element(const std::string& label) const {
    for (const json& e : observation.value("elements", json::array()))
      if (e["label"] == label) return e;
    return nullptr;
  }
  bool observe() {
    json answer = ask("observe", {{"identity", identity}});
    if (answer["ok"] != true) return false;
    observation = answer["observation"];
    return !element("Send").is_null();
  }
  json prepare(const json& action, json fields) {
    fields["attemptId"] = "bench-attempt-" + std::to_string(++attempts);
    fields["identity"] = identity;
    fields["action"] = action;
    fields["expected"] = observation["probe"];
    return ask("prepare_action", fields);
  }
};

// The form, bound, in front and observed; null when the desktop does not give it in 30 s.
Form* form() {
  static Form* made = [] {
    auto form = std::make_unique<Form>();
    form->app = qcu::test::spawnChild(
        QCU_TEST_APP, {"--fixture", std::string(QCU_SOURCE_DIR) + "/tests/fixtures/form.json"});
    auto ready = form->app.readMessage(30.0);
    if (!ready || ready->value("event", "") != "ready") return static_cast<Form*>(nullptr);
    const pid_t pid = ready->at("pid").get<pid_t>();
    form->helper = qcu::test::spawnOwnedHelper(QCU_HELPER_REAL);
    form->ask("hello", {{"protocolVersion", 1}});
    const auto deadline = SteadyClock::now() + std::chrono::seconds(30);
    while (SteadyClock::now() < deadline) {
      if (form->identity.is_null()) {
        for (const json& c : form->ask("list_candidates").value("candidates", json::array())) {
          if (c["identity"]["pid"] != pid) continue;
          form->ask("probe_binding",
                    {{"identity", c["identity"]}, {"candidateToken", c["candidateToken"]}});
          form->identity = c["identity"];
          form->ask("focus_binding", {{"identity", form->identity}});
        }
      } else if (form->observe()) {
        return form.release();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return static_cast<Form*>(nullptr);
  }();
  return made;
}

// Commits and returns the round trip in seconds; fails the run unless the effect was proven.
bool timedCommit(benchmark::State& state, Form& f, const json& prepared) {
  if (prepared["ok"] != true) {
    state.SkipWithError(("prepare refused: " + prepared.dump()).c_str());
    return false;
  }
  const auto start = SteadyClock::now();
  json committed = f.ask("commit_action", {{"preparedId", prepared["preparedId"]},
                                           {"attemptId", prepared["attemptId"]}});
  state.SetIterationTime(std::chrono::duration<double>(SteadyClock::now() - start).count());
  if (committed["readback"]["effectMatched"] != true) {
    state.SkipWithError(("effect not proven: " + committed.dump()).c_str());
    return false;
  }
  return true;
}

void OwnerVerifiedClick(benchmark::State& state) {
  Form* f = form();
  if (!f) return state.SkipWithError("the form did not come up on the desktop");
  for (auto _ : state) {
    state.PauseTiming();
    // The fixture's press effect checks the box whatever its state: it starts off each time.
    f->appCommand(
        {{"op", "set-attribute"}, {"node", "agree"}, {"attribute", "AXValue"}, {"value", 0}});
    if (!f->observe()) return state.SkipWithError("the form could not be observed");
    json resolved = {
        {"backendRef", f->element("I agree")["backendRef"]},
        {"expectedTransition", {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}}}};
    json prepared = f->prepare({{"kind", "click"}}, {{"resolvedElement", resolved}});
    state.ResumeTiming();
    if (!timedCommit(state, *f, prepared)) return;
  }
}
BENCHMARK(OwnerVerifiedClick)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(30);

void OwnerType100Characters(benchmark::State& state) {
  Form* f = form();
  if (!f) return state.SkipWithError("the form did not come up on the desktop");
  const std::string text(100, 'x');
  json chunks = json::array();
  for (std::size_t at = 0; at < text.size(); at += 16)
    chunks.push_back(text.substr(at, 16));
  for (auto _ : state) {
    state.PauseTiming();
    f->appCommand(
        {{"op", "set-attribute"}, {"node", "name"}, {"attribute", "AXValue"}, {"value", ""}});
    if (!f->observe()) return state.SkipWithError("the form could not be observed");
    json name = f->element("Name");
    json resolved = {{"backendRef", name["backendRef"]},
                     {"expectedValueState", name["valueState"]}};
    json prepared =
        f->prepare({{"kind", "type"}}, {{"textChunks", chunks}, {"resolvedElement", resolved}});
    state.ResumeTiming();
    if (!timedCommit(state, *f, prepared)) return;
  }
}
BENCHMARK(OwnerType100Characters)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

}  // namespace
