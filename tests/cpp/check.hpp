// Minimal assertions for the engine tests: each failed check prints where it
// failed; main() returns the failure count through finish().
#pragma once

#include <cstdio>
#include <string>

namespace check {

inline int failures = 0;

inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
    ++failures;
}

inline int finish() {
    if (failures != 0) std::fprintf(stderr, "%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(cond) \
    ((cond) ? (void)0 : check::fail(__FILE__, __LINE__, #cond))

#define CHECK_EQ(actual, expected)                                                  \
    ((actual) == (expected) ? (void)0                                               \
                            : check::fail(__FILE__, __LINE__, #actual " == " #expected))

// Runs `expr`, which must throw exactly `Kind` with message `text`.
#define CHECK_THROWS(Kind, text, expr)                                               \
    do {                                                                             \
        try {                                                                        \
            (void)(expr);                                                            \
            check::fail(__FILE__, __LINE__, #expr " did not throw");                 \
        } catch (const Kind& error) {                                                \
            if (std::string(error.what()) != (text))                                 \
                check::fail(__FILE__, __LINE__,                                      \
                            std::string(#expr " threw: ") + error.what());           \
        }                                                                            \
    } while (0)
