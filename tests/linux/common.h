// Shared bits of the serbolt end-to-end tests.
#pragma once
#include "harness.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

inline std::string serbolt_path() { return build_dir() + "/serbolt"; }

// Runs serbolt with `args` (the program path is added in front).
inline Outcome serbolt(const std::vector<std::string> &args, double timeout_s = 30,
                   Input input = Input::Null, const std::string &stdin_data = "")
{
    std::vector<std::string> argv = { serbolt_path() };
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, timeout_s, input, stdin_data);
}

inline size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

// A sim that stops itself when the test ends.
struct SimGuard {
    Sim sim;
    explicit SimGuard(const std::vector<std::string> &extra = {})
    {
        sim_start_required(sim, extra);
    }
    ~SimGuard() { sim_stop(sim); }
};
