#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

// Shared by the fuzz targets.
namespace fuzzutil {

// Stops the run with a message: libFuzzer keeps the input that got here.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

// A private folder for the process's files, removed at exit; HOME and the XDG folders
// point into it so nothing a target does touches the real ones.
std::string privateHome();

}  // namespace fuzzutil
