#include "fiber.h"

#include <cstdint>
#include <utility>

#include "bugcheck.h"

#if NUVIX_FIBER_BOOST
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#else
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define NUVIX_FIBER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVIX_FIBER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define NUVIX_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NUVIX_FIBER_TSAN 1
#endif
#endif

#if NUVIX_FIBER_ASAN
#include <sanitizer/common_interface_defs.h>
#endif
#if NUVIX_FIBER_TSAN
extern "C" {
void *__tsan_get_current_fiber(void);
void *__tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void *fiber);
void __tsan_switch_to_fiber(void *fiber, unsigned flags);
}
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define NUVIX_FIBER_VALGRIND 1
#endif

namespace sim {

namespace {
// The simulation's deepest stacks are a driver call inside a completion
// inside a bus request; the sanitizers' frames are several times larger.
#if NUVIX_FIBER_ASAN || NUVIX_FIBER_TSAN
constexpr size_t kStackSize = 2 << 20;
#else
constexpr size_t kStackSize = 512 << 10;
#endif
}  // namespace

struct Fiber::Impl {
#if NUVIX_FIBER_BOOST
    boost::context::fiber context;  // empty while this fiber runs
#else
    ucontext_t context{};
    void *mapping = nullptr;  // the stack with its guard page below it
    size_t mappingSize = 0;
#endif
    std::function<Fiber *()> body;
    void *stackBottom = nullptr;  // lowest usable address; unknown for a thread's own
    size_t stackSize = 0;
    void *tsan = nullptr;
    bool ownsTsan = false;
    unsigned valgrindStack = 0;
    bool ended = false;
};

namespace {
// The fiber that switched to the one now arriving, so that the arriving one
// can store what the switch saved of it; null when that fiber has ended.
thread_local Fiber::Impl *tArrivingFrom = nullptr;

// Said just before a switch to to; fakeStack is where the leaving fiber's
// sanitizer state goes, or null when the leaving fiber has ended.
void Leave([[maybe_unused]] void **fakeStack, [[maybe_unused]] Fiber::Impl &to)
{
#if NUVIX_FIBER_ASAN
    __sanitizer_start_switch_fiber(fakeStack, to.stackBottom, to.stackSize);
#endif
#if NUVIX_FIBER_TSAN
    __tsan_switch_to_fiber(to.tsan, 0);
#endif
}

// Said first thing after a switch, on the fiber that arrived.
void Arrive([[maybe_unused]] void *fakeStack)
{
#if NUVIX_FIBER_ASAN
    const void *bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(fakeStack, &bottom, &size);
    // A thread's own stack is learned the first time it is left.
    if (Fiber::Impl *from = tArrivingFrom; from && !from->stackBottom) {
        from->stackBottom = const_cast<void *>(bottom);
        from->stackSize = size;
    }
#endif
}
}  // namespace

Fiber::Fiber() : impl_(std::make_unique<Impl>())
{
#if NUVIX_FIBER_TSAN
    impl_->tsan = __tsan_get_current_fiber();
#endif
}

std::unique_ptr<Fiber> Fiber::ForThisThread() { return std::unique_ptr<Fiber>(new Fiber()); }

#if NUVIX_FIBER_BOOST
namespace {
// Boost's guarded stack, remembering where it lies for the sanitizers.
class RecordingStack {
public:
    explicit RecordingStack(Fiber::Impl *impl) : impl_(impl) {}
    boost::context::stack_context allocate()
    {
        boost::context::stack_context stack = inner_.allocate();
        impl_->stackBottom = static_cast<char *>(stack.sp) - stack.size;
        impl_->stackSize = stack.size;
#if NUVIX_FIBER_VALGRIND
        impl_->valgrindStack = VALGRIND_STACK_REGISTER(impl_->stackBottom, stack.sp);
#endif
        return stack;
    }
    void deallocate(boost::context::stack_context &stack) noexcept { inner_.deallocate(stack); }

private:
    boost::context::protected_fixedsize_stack inner_{kStackSize};
    Fiber::Impl *impl_;
};
}  // namespace
#endif

Fiber::Fiber(std::function<Fiber *()> body) : impl_(std::make_unique<Impl>())
{
    Impl *impl = impl_.get();
    impl->body = std::move(body);
#if NUVIX_FIBER_TSAN
    impl->tsan = __tsan_create_fiber(0);
    impl->ownsTsan = true;
#endif
#if NUVIX_FIBER_BOOST
    impl->context =
        boost::context::fiber(std::allocator_arg, RecordingStack(impl), [impl](boost::context::fiber &&from) {
            if (tArrivingFrom)
                tArrivingFrom->context = std::move(from);
            Arrive(nullptr);
            Fiber *next = impl->body();
            impl->ended = true;
            Leave(nullptr, *next->impl_);
            tArrivingFrom = nullptr;
            return std::move(next->impl_->context);
        });
#else
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    impl->mappingSize = kStackSize + page;
    impl->mapping = mmap(nullptr, impl->mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (impl->mapping == MAP_FAILED)
        BugCheck("SIMULATION_MISUSE", "no memory for a simulated thread's stack");
    mprotect(impl->mapping, page, PROT_NONE);  // a guard page: an overflow faults at once
    impl->stackBottom = static_cast<char *>(impl->mapping) + page;
    impl->stackSize = kStackSize;
#if NUVIX_FIBER_VALGRIND
    impl->valgrindStack =
        VALGRIND_STACK_REGISTER(impl->stackBottom, static_cast<char *>(impl->stackBottom) + kStackSize);
#endif
    getcontext(&impl->context);
    impl->context.uc_stack.ss_sp = impl->stackBottom;
    impl->context.uc_stack.ss_size = impl->stackSize;
    impl->context.uc_link = nullptr;
    const uintptr_t address = reinterpret_cast<uintptr_t>(impl);
    makecontext(&impl->context, reinterpret_cast<void (*)()>(&Fiber::Start), 2, unsigned(address >> 16 >> 16),
                unsigned(address));
#endif
}

Fiber::~Fiber()
{
#if NUVIX_FIBER_VALGRIND
    if (impl_->valgrindStack)
        VALGRIND_STACK_DEREGISTER(impl_->valgrindStack);
#endif
#if !NUVIX_FIBER_BOOST
    if (impl_->mapping)
        munmap(impl_->mapping, impl_->mappingSize);
#endif
#if NUVIX_FIBER_TSAN
    if (impl_->ownsTsan)
        __tsan_destroy_fiber(impl_->tsan);
#endif
}

bool Fiber::Ended() const { return impl_->ended; }

#if !NUVIX_FIBER_BOOST
// A new ucontext fiber's first frame; makecontext passes its Impl as two
// ints.
void Fiber::Start(unsigned high, unsigned low)
{
    auto *impl = reinterpret_cast<Impl *>((uintptr_t(high) << 16 << 16) | uintptr_t(low));
    Arrive(nullptr);
    Fiber *next = impl->body();
    impl->ended = true;
    Leave(nullptr, *next->impl_);
    tArrivingFrom = nullptr;
    setcontext(&next->impl_->context);
    BugCheck("SIMULATION_MISUSE", "setcontext returned");
}
#endif

void Fiber::Switch(Fiber &from, Fiber &to)
{
    if (&from == &to)
        return;
    if (to.impl_->ended)
        BugCheck("SIMULATION_MISUSE", "a switch to a simulated thread that has ended");
    void *fakeStack = nullptr;
    Leave(&fakeStack, *to.impl_);
    tArrivingFrom = from.impl_.get();
#if NUVIX_FIBER_BOOST
    boost::context::fiber back = std::move(to.impl_->context).resume();
    if (tArrivingFrom)
        tArrivingFrom->context = std::move(back);
#else
    swapcontext(&from.impl_->context, &to.impl_->context);
#endif
    Arrive(fakeStack);
}

}  // namespace sim
