// Stop and restart under traffic, and two host calls on one port at once
// (open/open, close/close, open/close, and write, purge and bind through
// PortControl against each other), some with a surprise removal in between.
// Each case is seeded: the completion mode, the moments the calls start,
// how late the firmware answers and whether the port's OUT pipe is held all
// come from the case's seed. Afterwards the driver's books must agree with
// what the host was told, the ports must work again and nothing may leak.
#include <optional>
#include <random>

#include "harness.h"
#include "rig.h"

namespace sweep {
namespace {

using sim::adapter::AnswerMode;
using sim::usb::CompletionMode;

enum class Op { Open, Close, Write, Purge, Bind };
const char *OpName(Op op)
{
    switch (op) {
    case Op::Open:
        return "open";
    case Op::Close:
        return "close";
    case Op::Write:
        return "write";
    case Op::Purge:
        return "purge";
    case Op::Bind:
        return "bind";
    }
    return "?";
}

struct Pair {
    Op a, b;
};
const Pair kPairs[] = {{Op::Open, Op::Open},   {Op::Close, Op::Close}, {Op::Open, Op::Close}, {Op::Write, Op::Purge},
                       {Op::Purge, Op::Purge}, {Op::Purge, Op::Bind},  {Op::Write, Op::Bind}, {Op::Bind, Op::Bind}};

struct Dice {
    explicit Dice(uint64_t seed) : rng(seed) {}
    uint64_t Below(uint64_t bound) { return bound ? rng() % bound : 0; }
    std::mt19937_64 rng;
};

CompletionMode ModeFor(Dice &dice)
{
    static const CompletionMode modes[] = {CompletionMode::Pend, CompletionMode::Inline, CompletionMode::Random};
    return modes[dice.Below(3)];
}

// A delay of 0, a few microseconds or up to 3 ms, so that the calls meet at
// different points of each other.
int64_t DelayFor(Dice &dice)
{
    switch (dice.Below(4)) {
    case 0:
        return 0;
    case 1:
        return 1 + static_cast<int64_t>(dice.Below(100));
    default:
        return static_cast<int64_t>(dice.Below(30'000));
    }
}

// How the bus treats a cancelled request, seeded: handed to its controller,
// completed inside the cancel, or held back and released every `period`
// (never, with period 0, until the case lets it go).
struct CancelPlan {
    sim::usb::CancelMode mode = sim::usb::CancelMode::Controller;
    int64_t period = 0;
    std::string Text() const
    {
        if (mode == sim::usb::CancelMode::Controller)
            return "cancels by the controller";
        if (mode == sim::usb::CancelMode::Inline)
            return "cancels inline";
        return period ? "cancels held, released every " + std::to_string(period / sim::kTicksPerMillisecond) + " ms"
                      : "cancels held";
    }
};

CancelPlan CancelPlanFor(Dice &dice)
{
    CancelPlan plan;
    switch (dice.Below(5)) {
    case 0:
    case 1:
        break;
    case 2:
        plan.mode = sim::usb::CancelMode::Inline;
        break;
    case 3:
        plan.mode = sim::usb::CancelMode::Hold;
        plan.period = static_cast<int64_t>(1 + dice.Below(3) * dice.Below(3) * 100) * sim::kTicksPerMillisecond;
        break;
    default:
        plan.mode = sim::usb::CancelMode::Hold;
        break;
    }
    return plan;
}

// Releases held cancelled requests every period until stopped; at the end
// the bus goes back to the controller's cancels and lets go of everything.
class Releaser {
public:
    Releaser(sim::usb::Bus &bus, CancelPlan plan) : bus_(bus), plan_(plan)
    {
        bus_.SetCancelMode(plan_.mode);
        if (plan_.mode == sim::usb::CancelMode::Hold && plan_.period)
            thread_ = std::make_unique<sim::Thread>("releaser", [this] {
                for (;;) {
                    bool done = false;
                    sim::Scheduler::Get().Block([&] { return done_; }, sim::Scheduler::Get().Now() + plan_.period,
                                                "the next release");
                    done = sim::Scheduler::Get().Read([&] { return done_; });
                    if (done)
                        return;
                    bus_.ReleaseHeldCancelled();
                }
            });
    }
    void Finish()
    {
        if (finished_)
            return;
        finished_ = true;
        sim::Scheduler::Get().Change([&] { done_ = true; });
        if (thread_)
            thread_->Join();
        bus_.SetCancelMode(sim::usb::CancelMode::Controller);
        bus_.ReleaseHeldCancelled();
    }
    ~Releaser() { Finish(); }

private:
    sim::usb::Bus &bus_;
    CancelPlan plan_;
    bool done_ = false;
    bool finished_ = false;
    std::unique_ptr<sim::Thread> thread_;
};

// Four ports busy; the adapter is stopped at a seeded moment and started
// again; the ports come back closed and must work once opened again.
void StopUnderTraffic(const std::string &id, uint64_t seed)
{
    Dice dice(seed);
    RigOptions options;
    options.blank = false;
    options.completion = ModeFor(dice);
    Rig rig(id, seed, options);
    if (rig.PlugIn() != STATUS_SUCCESS || !rig.Firmware())
        Fatal(id + ": the adapter does not start");
    bool open[4] = {};
    for (int i = 0; i < 4; i++) {
        rig.Firmware()->ConnectLoopback(i + 1);
        open[i] = rig.OpenPort(i);
        SWEEP_CHECK(open[i], id + ": port " + std::to_string(i) + " does not open");
    }
    int64_t stopAt = static_cast<int64_t>(dice.Below(40)) * sim::kTicksPerMillisecond / 2;
    rig.bed->pnp->SetRemoveAfterFailedStart(false);
    CancelPlan cancels = CancelPlanFor(dice);
    Releaser releaser(rig.Current()->Bus(), cancels);
    bool stopped = false;
    {
        std::vector<std::unique_ptr<sim::Thread>> pumps;
        for (int i = 0; i < 4; i++)
            if (open[i])
                pumps.push_back(std::make_unique<sim::Thread>("pump " + std::to_string(i), [&rig, i, &id, &stopped] {
                    PathResult result = rig.Exchange(i, 3000, id);
                    if (result == PathResult::Visible && !stopped)
                        Fail(id + ": port " + std::to_string(i) + " stopped before the adapter did");
                }));
        Sleep(stopAt);
        Note("stop after " + std::to_string(stopAt / sim::kTicksPerMillisecond) + " ms");
        sim::pnp::Device *device = rig.Current();
        stopped = true;
        Note(cancels.Text());
        auto outcome = rig.bed->pnp->Stop(*device);
        SWEEP_CHECK(!outcome.Refused(), id + ": the stop was refused");
        NTSTATUS restarted = rig.bed->pnp->Restart(*device);
        releaser.Finish();
        if (restarted != STATUS_SUCCESS) {
            // A request the bus kept across the stop may fail the restart,
            // visibly; once the bus has let it go, a restart must succeed.
            if (cancels.mode != sim::usb::CancelMode::Hold)
                Fail(id + ": the restart failed: " + Rig::StatusText(restarted));
            else
                Note("the restart failed (" + Rig::StatusText(restarted) + ") with a cancelled request held");
            rig.Current()->Bus().Drain();
            restarted = rig.bed->pnp->Restart(*device);
            SWEEP_CHECK(restarted == STATUS_SUCCESS, id + ": the second restart failed: " + Rig::StatusText(restarted));
        }
        for (auto &pump : pumps)
            pump->Join();
    }
    rig.CheckBooks(id);
    rig.CheckPortsWorkAndRemove(id);
    rig.CheckFreshAdapterWorks(id);
    rig.FinishAndCheckPool();
}

// Two calls on port 1 at once, from two threads, the second after a seeded
// delay; optionally the adapter is pulled out at a seeded moment meanwhile.
void SamePortPair(Pair pair, bool removal, const std::string &id, uint64_t seed)
{
    Dice dice(seed);
    RigOptions options;
    options.blank = false;
    options.completion = ModeFor(dice);
    Rig rig(id, seed, options);
    if (rig.PlugIn() != STATUS_SUCCESS || !rig.Firmware())
        Fatal(id + ": the adapter does not start");
    if (removal)
        rig.StartRemover();
    const int index = 1;
    auto firmware = rig.Firmware();
    firmware->ConnectLoopback(index + 1);
    sim::host::HostSerialDriver &host = *rig.Host();
    sim::host::HostPort &port = *rig.Port(index);
    bool startsOpen = pair.a != Op::Open;
    if (startsOpen && !rig.OpenPort(index))
        Fatal(id + ": the port does not open");
    bool hold = dice.Below(2) == 0;
    if (hold && (pair.a == Op::Write || pair.a == Op::Purge || pair.b == Op::Bind)) {
        // Writes in flight that the device does not take yet.
        firmware->HoldEndpoint(sim::adapter::PortOut(index + 1), true);
        std::vector<uint8_t> bytes(150, 0x5A);
        host.Write(port, bytes.data(), bytes.size());
    }
    int64_t answerDelay = static_cast<int64_t>(dice.Below(3)) * sim::kTicksPerMillisecond;
    if (answerDelay)
        firmware->SetAnswerMode(AnswerMode::Late, answerDelay);
    int64_t delays[2] = {DelayFor(dice), DelayFor(dice)};
    int64_t pullAt = static_cast<int64_t>(dice.Below(8'000));  // within 0.8 ms
    Note(std::string("pair ") + OpName(pair.a) + "/" + OpName(pair.b) + (hold ? ", OUT pipe held" : "") +
         ", answers after " + std::to_string(answerDelay / sim::kTicksPerMillisecond) + " ms, delays " +
         std::to_string(delays[0]) + "/" + std::to_string(delays[1]) +
         (removal ? ", pulled at " + std::to_string(pullAt) : ""));

    std::optional<CancelPlan> cancels;
    std::unique_ptr<Releaser> releaser;
    if (!removal) {
        cancels = CancelPlanFor(dice);
        // Two calls on a port wait for what they cancel: a bus that never
        // lets a cancelled request go would hold them for good.
        if (cancels->mode == sim::usb::CancelMode::Hold && !cancels->period)
            cancels->period = 300 * sim::kTicksPerMillisecond;
        Note(cancels->Text());
        releaser = std::make_unique<Releaser>(rig.Current()->Bus(), *cancels);
    }
    bool results[2] = {};
    auto call = [&](Op op, int which) {
        Sleep(delays[which]);
        switch (op) {
        case Op::Open:
            results[which] = host.Open(port);
            break;
        case Op::Close:
            results[which] = host.Close(port);
            break;
        case Op::Write: {
            std::vector<uint8_t> bytes(120, static_cast<uint8_t>(0x30 + which));
            results[which] = host.Write(port, bytes.data(), bytes.size()) > 0 || true;
            results[which] = host.StartWrite(port);
            break;
        }
        case Op::Purge: {
            ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
            results[which] = host.Control(port, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0);
            break;
        }
        case Op::Bind:
            results[which] = host.Bind(port, 800, 600);
            break;
        }
    };
    {
        sim::Thread first("first", [&] { call(pair.a, 0); });
        sim::Thread second("second", [&] { call(pair.b, 1); });
        if (removal) {
            Sleep(pullAt);
            rig.socket->Pull();
        }
        first.Join();
        second.Join();
    }
    if (releaser)
        releaser->Finish();
    Note(std::string("results ") + (results[0] ? "TRUE" : "FALSE") + "/" + (results[1] ? "TRUE" : "FALSE"));
    if (hold && !rig.socket->Pulled())
        firmware->HoldEndpoint(sim::adapter::PortOut(index + 1), false);
    if (hold && rig.socket->Pulled())
        firmware->HoldEndpoint(sim::adapter::PortOut(index + 1), false);
    firmware->SetAnswerMode(AnswerMode::Normal);

    if (!removal) {
        if (pair.a == Op::Open && pair.b == Op::Open)
            SWEEP_CHECK(results[0] != results[1],
                        id + ": two opens of one port, " + std::string(results[0] ? "both" : "neither") + " succeeded");
        if (pair.a == Op::Close && pair.b == Op::Close)
            SWEEP_CHECK(results[0] != results[1], id + ": two closes of one port, " +
                                                      std::string(results[0] ? "both" : "neither") + " succeeded");
        rig.CheckBooks(id);
        rig.CheckPortsWorkAndRemove(id);
    } else {
        rig.JoinRemover();
        SWEEP_CHECK(AdapterTable.Count == 0, id + ": an adapter is left in the table after the surprise removal");
        rig.CheckReplugWorks(id);
    }
    rig.FinishAndCheckPool();
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    for (int n = 0; n < 300; n++) {
        std::string id = "restart:stop:" + std::to_string(n);
        cases.push_back({id, [id](uint64_t seed) { StopUnderTraffic(id, seed); }});
    }
    for (bool removal : {false, true})
        for (const Pair &pair : kPairs)
            for (int n = 0; n < (removal ? 50 : 60); n++) {
                std::string id = std::string("restart:") + OpName(pair.a) + "-" + OpName(pair.b) +
                                 (removal ? "-pulled:" : ":") + std::to_string(n);
                cases.push_back({id, [pair, removal, id](uint64_t seed) { SamePortPair(pair, removal, id, seed); }});
            }
    return cases;
}

Registrar registrar({"restart", "stop and restart under traffic; two calls on one port at once, some pulled out", Cases,
                     3});

}  // namespace
}  // namespace sweep
