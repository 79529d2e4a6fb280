// One trace line at DEBUG through the log facade into a file, with the
// backend's default format (time, level, process id, source position), and
// beside it the bare write() of a line of the same length to a file: the
// floor of a line that enters the kernel once.
//
// Both files are emptied every kTruncateEvery lines, outside the timed
// part, so that long runs do not fill the disk.
#include "log/tests/LogTestUtil.h"
#include "log/vexa_log.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

using logtest::CScratchDir;

namespace {

constexpr int64_t kTruncateEvery = 1 << 16;

void TraceLineDebug(benchmark::State &state)
{
    CScratchDir dir;
    const std::string strConf = dir / "log.conf", strLog = dir / "trace.log";
    /* one rule: the category's DEBUG records and above, default format */
    logtest::WriteFile(strConf, "[rules]\n" VEXA_LOG_CATEGORY ".DEBUG  \"" + strLog + "\"\n", 0600);
    if (vexa_log_init_ex(strConf.c_str()) != 0) {
        state.SkipWithError("the log does not start");
        return;
    }
    int64_t n = 0;
    for (auto _ : state) {
        TRACE(LOG_LEVEL_DEBUG, "%s - %s success", "SendAPDUCmd", "GetCryptByte");
        if (++n % kTruncateEvery == 0) {
            state.PauseTiming();
            if (truncate(strLog.c_str(), 0) != 0) state.SkipWithError("truncate failed");
            state.ResumeTiming();
        }
    }
    vexa_log_fini();
    state.SetItemsProcessed(state.iterations());
}

/* The same line as the log writes it with the default format. */
void WriteLineOnly(benchmark::State &state)
{
    CScratchDir dir;
    const std::string strLine =
        "2026-01-01 00:00:00 DEBUG [12345:/work/log/vexa_log.cpp:104] SendAPDUCmd - GetCryptByte success\n";
    int fd = open((dir / "raw.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        state.SkipWithError("no file to write");
        return;
    }
    int64_t n = 0;
    for (auto _ : state) {
        if (write(fd, strLine.data(), strLine.size()) != static_cast<ssize_t>(strLine.size()))
            state.SkipWithError("write failed");
        if (++n % kTruncateEvery == 0) {
            state.PauseTiming();
            if (ftruncate(fd, 0) != 0) state.SkipWithError("truncate failed");
            state.ResumeTiming();
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(TraceLineDebug)->Name("log/trace-line-debug-file");
BENCHMARK(WriteLineOnly)->Name("log/write-line-file");

BENCHMARK_MAIN();
