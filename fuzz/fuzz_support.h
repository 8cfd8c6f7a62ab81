// Shared by the fuzz targets and by the regression test that replays their
// corpora through the same entry functions (tests/fuzz_regress/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A broken invariant stops the run with the condition and where it failed;
// libFuzzer then keeps the input that did it.
#define FZ_CHECK(cond)                                            \
    do {                                                          \
        if (!(cond)) fz::check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

// Makes fn, the target's entry function, the libFuzzer entry point; the
// regression test that replays saved inputs defines QORV_FUZZ_NO_DRIVER and
// calls the entry functions itself.
#ifndef QORV_FUZZ_NO_DRIVER
#define FZ_DRIVER(fn)                                                         \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { \
        return fn(data, size);                                                \
    }
#else
#define FZ_DRIVER(fn)
#endif

namespace fz {

// The file being replayed, when a test replays saved inputs.
inline const char *input_name = nullptr;

[[noreturn]] inline void check_failed(const char *cond, const char *file, int line) {
    fprintf(stderr, "fuzz check failed: %s at %s:%d%s%s\n", cond, file, line,
            input_name ? ", input " : "", input_name ? input_name : "");
    abort();
}

// Reads the fuzz input front to back; past its end every read is zero.
class Reader {
  public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool empty() const { return n_ == 0; }
    uint8_t u8() {
        if (n_ == 0) return 0;
        n_--;
        return *p_++;
    }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    // n bytes taken as they are (fewer when the input ends).
    std::string bytes(size_t n) {
        if (n > n_) n = n_;
        std::string s(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        n_ -= n;
        return s;
    }

  private:
    const uint8_t *p_;
    size_t n_;
};

// A name of n characters drawn from a small alphabet rich in dots, so that
// names share prefixes and components and the tree has to split labels.
inline std::string dotted_name(Reader &in, size_t n) {
    static const char alphabet[] = "ab.c.d*x";
    std::string s;
    for (size_t i = 0; i < n && !in.empty(); i++)
        s += alphabet[in.u8() & 7];
    return s;
}

}  // namespace fz
