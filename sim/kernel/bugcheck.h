// The simulated platform's bug check: a driver bug found by the verifier
// stops the process at once with the check's name and its parameters, the
// way the real platform stops the machine. Verifier tests expect the death.
#pragma once

#include <string>

namespace sim {

[[noreturn]] void BugCheck(const std::string &name, const std::string &details);

// Text printed with every bug check (the world's seed, for replay).
void SetBugCheckNote(std::string note);

std::string Hex(uint64_t value);

}  // namespace sim
