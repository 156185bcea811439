// The one entry point of the benchmark executable; every other file here only registers.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
