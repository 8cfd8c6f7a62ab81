// tr_log to a file, one flushed line per call, against the system-call bound
// (write(2) of the same, already formatted lines) and against the usual
// hand-written loop (localtime + strftime + fprintf + fflush).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/agent_config.h"
#include "core/logging.h"

#ifdef QORV_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

std::string bench_dir() {
    // Memory-backed when the system has it, so the disk does not set the pace.
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/qorv-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    return tmpl;
}

const std::string &dir() {
    static std::string d = bench_dir();
    return d;
}

void cleanup(const std::string &base) {
    for (const char *suffix : {".0", ".1", ".2"}) unlink((base + suffix).c_str());
}

void BM_TrLog(benchmark::State &state) {
    static char dest[] = "file";
    std::string base = dir() + "/trlog";
    agent_config cfg{};
    cfg.ac_dest = dest;
    cfg.ac_logfile = base.data();
    agent_cfg = &cfg;
    tr_set_echo(0);
    tr_init();
    int64_t i = 0;
    for (auto _ : state) tr_log(1, TR_INFO, "bench_fn: flow %ld state %s", static_cast<long>(i++), "up");
    state.SetItemsProcessed(state.iterations());
    cleanup(base);
}
BENCHMARK(BM_TrLog);

void BM_RawWrite(benchmark::State &state) {
    std::string path = dir() + "/raw.0";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
    char line[128];
    int n = snprintf(line, sizeof(line), "2026-01-01 00:00:00 INFO bench_fn: flow %ld state %s\n",
                     123456L, "up");
    for (auto _ : state) {
        ssize_t w = write(fd, line, static_cast<size_t>(n));
        asm volatile("" : : "r"(w) : "memory");
    }
    state.SetItemsProcessed(state.iterations());
    close(fd);
    unlink(path.c_str());
}
BENCHMARK(BM_RawWrite);

void BM_NaiveStdio(benchmark::State &state) {
    std::string path = dir() + "/naive.0";
    FILE *fp = fopen(path.c_str(), "a");
    int64_t i = 0;
    for (auto _ : state) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        char stamp[64];
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", localtime(&tv.tv_sec));
        fprintf(fp, "%s %s bench_fn: flow %ld state %s\n", stamp, "INFO", static_cast<long>(i++),
                "up");
        fflush(fp);
    }
    state.SetItemsProcessed(state.iterations());
    fclose(fp);
    unlink(path.c_str());
}
BENCHMARK(BM_NaiveStdio);

#ifdef QORV_HAVE_SPDLOG
void BM_SpdlogFlushEveryLine(benchmark::State &state) {
    std::string path = dir() + "/spd.0";
    auto logger = spdlog::basic_logger_mt("bench", path, true);
    logger->set_pattern("%Y-%m-%d %H:%M:%S %l %v");
    logger->flush_on(spdlog::level::trace);
    int64_t i = 0;
    for (auto _ : state) logger->info("bench_fn: flow {} state {}", i++, "up");
    state.SetItemsProcessed(state.iterations());
    spdlog::drop("bench");
    unlink(path.c_str());
}
BENCHMARK(BM_SpdlogFlushEveryLine);
#endif

}  // namespace

BENCHMARK_MAIN();
