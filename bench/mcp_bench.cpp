// The MCP server's own cost per tool call beside the helper's answer time, in one run: the
// server runs with --timing over pipes against the simulated helper, and each call's round trip
// as this client sees it is split into the time the server waited for the helper and the rest.
// The benchmark's time is that rest (the server's overhead including both pipe hops); the
// counters give the helper's time, the round trip and the server's own measure without pipes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>
#include <string>

#include "process/child.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

struct McpSession {
  test::Child server;
  int lastId = 0;

  // Calls a method; the answer and the round trip in seconds, or none on a failure.
  std::optional<std::pair<Json, double>> ask(const std::string& method, Json params) {
    const int id = ++lastId;
    const auto start = std::chrono::steady_clock::now();
    server.write(
        Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump() + "\n");
    for (;;) {
      auto message = server.readMessage(30);
      if (!message) return std::nullopt;
      if ((*message)["id"] != id) continue;  // a log notification
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!message->contains("result")) return std::nullopt;
      return std::make_pair((*message)["result"], seconds);
    }
  }

  bool tool(const std::string& name, Json arguments = Json::object()) {
    auto answer = ask("tools/call", {{"name", name}, {"arguments", arguments}});
    return answer && answer->first["isError"] == false;
  }
};

// One server for the whole run, bound to the Notes window of the test desktop.
McpSession* session() {
  static McpSession* started = [] {
    auto* s = new McpSession{test::spawnChild(
        QCU_BENCH_MCP, {"--timing", "--helper", QCU_BENCH_SIM, "--", "--sim-desktop",
                        QCU_SOURCE_DIR "/tests/mcp/desktop.json"})};
    bool ready = s->ask("initialize", {{"protocolVersion", "2025-11-25"},
                                       {"capabilities", Json::object()},
                                       {"clientInfo", {{"name", "bench"}, {"version", "1"}}}}) &&
                 s->tool("list_windows") && s->tool("bind_window", {{"window", 1}});
    return ready ? s : nullptr;
  }();
  return started;
}

// Calls one tool per iteration; before the first, observes, so element numbers are fresh.
void BM_McpToolCall(benchmark::State& bench, const char* method, const char* name, Json arguments) {
  McpSession* s = session();
  if (!s || !s->tool("observe")) {
    bench.SkipWithError("the server did not bind the test window");
    return;
  }
  double helper = 0, roundTrip = 0, serverOwn = 0;
  for (auto _ : bench) {
    Json params = std::string(method) == "tools/call"
                      ? Json{{"name", name}, {"arguments", arguments}}
                      : Json::object();
    auto answer = s->ask(method, params);
    if (!answer || answer->first.value("isError", false)) {
      bench.SkipWithError("the call failed");
      break;
    }
    // Tool results carry the server's measure; "tools/list" never involves the helper.
    const Json meta = answer->first.value("_meta", Json::object());
    const Json timing = meta.value("quorvel-cu/timing", Json::object());
    const double helperSeconds = timing.value("helperMs", 0.0) / 1000.0;
    helper += helperSeconds;
    roundTrip += answer->second;
    serverOwn += timing.value("serverMs", 0.0) / 1000.0;
    bench.SetIterationTime(answer->second - helperSeconds);
  }
  const auto perCall = [&](double total) {
    return benchmark::Counter(total * 1000.0 / static_cast<double>(bench.iterations()));
  };
  bench.counters["helper_ms"] = perCall(helper);
  bench.counters["roundtrip_ms"] = perCall(roundTrip);
  bench.counters["server_own_ms"] = perCall(serverOwn);
}

// Answered by the server alone: its overhead with no helper in the way.
BENCHMARK_CAPTURE(BM_McpToolCall, tools_list, "tools/list", "", Json())
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200);
BENCHMARK_CAPTURE(BM_McpToolCall, list_windows, "tools/call", "list_windows", Json::object())
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(50);
// With the screenshot as image content.
BENCHMARK_CAPTURE(BM_McpToolCall, observe, "tools/call", "observe", Json::object())
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(30);
// Prepare and commit, with the effect proven each time.
BENCHMARK_CAPTURE(BM_McpToolCall, type_text, "tools/call", "type_text",
                  Json({{"element", 1}, {"text", "a"}}))
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(30);
BENCHMARK_CAPTURE(BM_McpToolCall, scroll, "tools/call", "scroll", Json({{"direction", "down"}}))
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(30);

}  // namespace
}  // namespace qcu
