// Request handling speed: "ping" through the dispatcher in-process, pipelined "ping" through the
// real executable, the refusal of an oversize line, and the helper's peak memory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "process/child.h"
#include "runtime/dispatch.h"
#include "runtime/framing.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {
namespace {

void discard(std::string_view) {}

void BM_PingThroughHandleLine(benchmark::State& bench) {
  setOutputSink(&discard);
  resetSessionForTests();
  std::uint64_t n = 0;
  for (auto _ : bench) {
    handleLine(R"({"v":1,"type":"ping","requestId":"bench-)" + std::to_string(n++) + "\"}");
  }
  bench.SetItemsProcessed(static_cast<std::int64_t>(n));
  setOutputSink(nullptr);
}
BENCHMARK(BM_PingThroughHandleLine)->UseRealTime();

void BM_OversizeLineRefused(benchmark::State& bench) {
  setOutputSink(&discard);
  std::string line(65537, 'x');
  line.push_back('\n');
  LineFramer framer([](std::string_view l) { handleLine(l); },
                    [] { writeError("none", "oversize", "message exceeds limit"); });
  for (auto _ : bench)
    framer.feed(line.data(), line.size());
  setOutputSink(nullptr);
}
BENCHMARK(BM_OversizeLineRefused)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::string helperPath() {
  const char* path = std::getenv("QCU_HELPER");
  return path ? path : QCU_BENCH_HELPER;
}

std::string pings(int count, int offset) {
  std::string bytes;
  for (int i = 0; i < count; ++i) {
    bytes += R"({"v":1,"type":"ping","requestId":"p-)" + std::to_string(offset + i) + "\"}\n";
  }
  return bytes;
}

// Pipelined: a writer sends every request while the reader collects every answer.
void BM_PipelinedPingThroughExecutable(benchmark::State& bench) {
  const int perBatch = static_cast<int>(bench.range(0));
  test::Child helper = test::spawnOwnedHelper(helperPath());
  int offset = 0;
  for (auto _ : bench) {
    std::string bytes = pings(perBatch, offset);
    offset += perBatch;
    std::thread writer([&] { helper.write(bytes); });
    for (int i = 0; i < perBatch; ++i) {
      if (!helper.readLine(10)) {
        bench.SkipWithError("helper stopped answering");
        break;
      }
    }
    writer.join();
  }
  bench.SetItemsProcessed(static_cast<std::int64_t>(offset));
  // Peak resident memory after all those requests.
  std::ifstream status("/proc/" + std::to_string(helper.pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) bench.counters["peak_rss_kib"] = std::stod(line.substr(6));
  }
}
BENCHMARK(BM_PipelinedPingThroughExecutable)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qcu

BENCHMARK_MAIN();
