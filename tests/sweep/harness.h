// The fault sweeps' harness: numbered cases, each run in a child process of
// its own, since a bug check, a sanitizer report or a hang ends the whole
// process. The parent only forks, waits and reports; it never builds a
// simulated world itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sweep {

// One case of a sweep: a stable id (what --case takes) and its body, which
// runs in a fresh process with a fresh world seeded from `seed`.
struct Case {
    std::string id;
    std::function<void(uint64_t seed)> run;
};

struct Sweep {
    std::string name;
    std::string what;
    // Every case of the full sweep, in order. Built in the parent; must not
    // create a world (a sweep that needs a measured life runs it through
    // RunInChild).
    std::function<std::vector<Case>()> cases;
    // The CI share: every ciStride-th case of the full list (offset 0).
    size_t ciStride = 1;
};

std::vector<Sweep> &Registry();
struct Registrar {
    explicit Registrar(Sweep sweep);
};

// --- inside a case (the child process) --------------------------------------

// A check that failed: printed at once, and the case fails at the end.
void Fail(const std::string &message);
// A check whose failure makes going on pointless: printed, the case ends now.
[[noreturn]] void Fatal(const std::string &message);
bool Failed();
// Progress notes, printed only with --verbose or when the case fails.
void Note(const std::string &message);

#define SWEEP_CHECK(cond, msg)                                                                                       \
    do {                                                                                                             \
        if (!(cond))                                                                                                 \
            ::sweep::Fail(std::string(#cond) + ": " + (msg) + " [" + __FILE__ ":" + std::to_string(__LINE__) + "]"); \
    } while (0)

// Runs body in a child process and returns what it printed on stdout (the
// parent's way of measuring a life without a world of its own). Fatal when
// the child fails.
std::string RunInChild(const std::function<void()> &body, unsigned timeoutSeconds);

// The seed of a case when none is given: stable per id.
uint64_t SeedFor(const std::string &id);

}  // namespace sweep
