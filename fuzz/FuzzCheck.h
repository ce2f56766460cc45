#pragma once

#include <cstdio>
#include <cstdlib>

// A failed property of a fuzz target: says which and aborts, so libFuzzer keeps the input.
#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
