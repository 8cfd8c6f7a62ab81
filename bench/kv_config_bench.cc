// Configuration read of a 1,000-line file (one key per line, every key a
// variable of the module), per line, against reading the same file and
// splitting it into lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/kv_config.h"
#include "core/kvc_file.h"
#include "core/logging.h"
#include "ratio_main.h"

namespace {

constexpr int LINES = 1000;

std::vector<struct kv_var> vars(LINES);
struct kv_head head = {"bench", 0, 0, LINES, {}, LINES * 4, nullptr, nullptr, nullptr, nullptr, {}};
struct kvc_reg reg = {0, 0, &head, nullptr, nullptr, nullptr, {}};
char path[] = "/tmp/qorv-kvc-bench-XXXXXX";

void setup() {
    static bool done;
    if (done) return;
    done = true;
    std::string text;
    for (int i = 0; i < LINES; i++) {
        snprintf(vars[i].kv_name, sizeof(vars[i].kv_name), "variable_%04d", i);
        vars[i].kv_type = KV_T_U32;
        vars[i].kv_size = 4;
        vars[i].kv_offset = uint16_t(i * 4);
        text += "bench.variable_" + std::to_string(10000 + i).substr(1) + " = " +
                std::to_string(i * 7919) + "\n";
    }
    head.kh_vars = vars.data();
    kv_register(&head);
    int fd = mkstemp(path);
    if (write(fd, text.data(), text.size()) != ssize_t(text.size())) abort();
    close(fd);
    kvc_file_set_path(path);
    kvc_register_ops(&kvc_file_ops);
    kvc_register(&reg);
}

void BM_ConfigRead1000Lines(benchmark::State &state) {
    setup();
    for (auto _ : state)
        kvc_read(&reg);
    state.SetItemsProcessed(state.iterations() * LINES);
}

void BM_FileReadSplitLines(benchmark::State &state) {
    setup();
    static char buf[1 << 16];
    for (auto _ : state) {
        int fd = open(path, O_RDONLY);
        ssize_t n = read(fd, buf, sizeof(buf));
        close(fd);
        int lines = 0;
        for (const char *p = buf; p < buf + n; lines++) {
            const char *nl = static_cast<const char *>(memchr(p, '\n', size_t(buf + n - p)));
            p = nl != nullptr ? nl + 1 : buf + n;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetItemsProcessed(state.iterations() * LINES);
}

BENCHMARK(BM_ConfigRead1000Lines);
BENCHMARK(BM_FileReadSplitLines);

}  // namespace

int main(int argc, char **argv) {
    tr_set_echo(0);
    tr_mask = 0;  // no INFO line per read
    int rc =
        qb::run_with_ratios(argc, argv, {{"BM_ConfigRead1000Lines", "BM_FileReadSplitLines", 0}});
    unlink(path);
    return rc;
}
