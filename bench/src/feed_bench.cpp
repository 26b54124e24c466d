// Line splitting and progress parsing, in-process: the launcher's feed()
// beside the floor's parser, over the generator's 200,000-line stream held
// in memory and handed over in 4 KiB chunks as the pipe gives it.
// No rendering and no system calls: what taking in output costs the CPU
// before the log and the pipe are counted.
#include "core/core.h"
#include "floor_parse.h"
#include "installer/installer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

static std::string stream()
{
    std::string s = "@step 7 7 Compiling\n";
    char line[160];
    const unsigned n = 200000;
    for (unsigned i = 1; i <= n; i++) {
        snprintf(line, sizeof line,
                 "[%u/%u] Building C object CMakeFiles/orvl_gen.dir/generated/recomp_simqz_%04u.c.o\n", i, n,
                 i % 10000);
        s += line;
    }
    return s;
}

static const std::string STREAM = stream();
constexpr size_t CHUNK = 4096;

static void launcher_feed(benchmark::State &state)
{
    for (auto _ : state) {
        S.line_len = 0;
        for (size_t at = 0; at < STREAM.size(); at += CHUNK)
            feed(STREAM.data() + at, std::min(CHUNK, STREAM.size() - at));
        benchmark::DoNotOptimize(S.detail[0]);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)STREAM.size());
}

static void floor_feed_stream(benchmark::State &state)
{
    static floor_progress p;
    for (auto _ : state) {
        floor_progress_init(&p);
        for (size_t at = 0; at < STREAM.size(); at += CHUNK)
            floor_feed(&p, STREAM.data() + at, std::min(CHUNK, STREAM.size() - at));
        benchmark::DoNotOptimize(p.detail[0]);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)STREAM.size());
}

BENCHMARK(launcher_feed)->Name("launcher/feed")->Unit(benchmark::kMillisecond);
BENCHMARK(floor_feed_stream)->Name("floor/feed")->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
