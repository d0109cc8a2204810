// The fuzz targets' property check: a failed property aborts, so libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}
