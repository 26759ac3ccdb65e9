// The simulated platform's bug check: a driver bug found by the verifier
// stops the process at once with the check's name and its parameters, the
// way the real platform stops the machine, and the stack that led there:
// each frame as module+offset (a loaded driver image by its file name),
// with the routine's name where the module exports it. Verifier tests
// expect the death.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

[[noreturn]] void BugCheck(const std::string &name, const std::string &details);

// Text printed with every bug check (the world's seed, for replay).
void SetBugCheckNote(std::string note);

std::string Hex(uint64_t value);

// A driver image mapped by the loader, so that addresses inside it are told
// as name+offset (the offset from the image's base, as a debugger of the
// platform gives it).
void RegisterImage(const std::string &name, const void *base, size_t size);
void UnregisterImage(const void *base);
// "nuvixusb.sys+0x1A2B" inside a registered image; else the module that
// holds it, "nuvix_tests+0x4C1F0 (sim::Thing::Call+0x1C)" where the module
// names the routine; else the bare address.
std::string DescribeAddress(const void *address);

}  // namespace sim
