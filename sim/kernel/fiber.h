// A user-level execution context: a stack of its own and the registers saved
// while it is not running. The deterministic schedules run every simulated
// thread as one of these on a single OS thread, so handing the turn to
// another simulated thread is a context swap in user space: no mutex
// hand-off, no futex, no system call.
//
// Built on Boost.Context where the build has it, on ucontext otherwise (the
// 32-bit host build: Debian has no 32-bit Boost for it to link). Every switch
// is announced to AddressSanitizer and ThreadSanitizer, so both follow the
// stacks as they change.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace sim {

class Fiber {
public:
    struct Impl;

    // The calling OS thread's own context, adopted as a fiber so that the
    // fibers it starts can switch back to it.
    static std::unique_ptr<Fiber> ForThisThread();

    // A new context that runs body when it is first switched to. body returns
    // the fiber to run next; this one has then ended and must not be switched
    // to again. Its stack goes when the object is destroyed, which must
    // happen on another fiber.
    explicit Fiber(std::function<Fiber *()> body);
    ~Fiber();
    Fiber(const Fiber &) = delete;
    Fiber &operator=(const Fiber &) = delete;

    // Suspends from, which must be the running fiber, and runs to until
    // another fiber switches back to from.
    static void Switch(Fiber &from, Fiber &to);

    bool Ended() const;

private:
    Fiber();
    static void Start(unsigned high, unsigned low);
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
