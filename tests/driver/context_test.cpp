// The outstanding-work counter and the events built on it.
#include <gtest/gtest.h>

#include <vector>

#include "driver/base/context.h"
#include "driver/usb/transport.h"
#include "tests/support/adapter_rig.h"
#include "tests/support/sim_test.h"

namespace {

class IoRefTest : public testing_support::SimTest {
protected:
    bool Signalled(KEVENT &event) { return KeReadStateEvent(&event) != 0; }
    testing_support::AdapterRig rig;
    AdapterContext *adapter = rig.adapter;
};

TEST_F(IoRefTest, ReleaseSignalsStopAtOneAndRemoveAtZeroOnly)
{
    AcquireIoRef(adapter);
    AcquireIoRef(adapter);
    ASSERT_EQ(adapter->IoRefCount, 3);

    ReleaseIoRef(adapter);  // 3 -> 2
    EXPECT_FALSE(Signalled(adapter->StopEvent));
    EXPECT_FALSE(Signalled(adapter->RemoveEvent));

    ReleaseIoRef(adapter);  // 2 -> 1: only the adapter's own reference is left
    EXPECT_TRUE(Signalled(adapter->StopEvent));
    EXPECT_FALSE(Signalled(adapter->RemoveEvent));

    KeClearEvent(&adapter->StopEvent);
    ReleaseIoRef(adapter);  // 1 -> 0: removal may finish
    EXPECT_TRUE(Signalled(adapter->RemoveEvent));
    EXPECT_FALSE(Signalled(adapter->StopEvent));
    EXPECT_EQ(adapter->IoRefCount, 0);
}

TEST_F(IoRefTest, ReferencesFromManyThreadsAndDispatchLevelBalance)
{
    constexpr int kPerThread = 5000;
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (int t = 0; t < 3; t++) {
        threads.push_back(std::make_unique<sim::Thread>("caller " + std::to_string(t), [this, t] {
            for (int i = 0; i < kPerThread; i++) {
                KIRQL previous = PASSIVE_LEVEL;
                if (t == 0)
                    KeRaiseIrql(DISPATCH_LEVEL, &previous);  // as from a completion routine
                AcquireIoRef(adapter);
                ReleaseIoRef(adapter);
                if (t == 0)
                    KeLowerIrql(previous);
            }
        }));
    }
    for (auto &thread : threads)
        thread->Join();
    EXPECT_EQ(adapter->IoRefCount, 1);
}

TEST_F(IoRefTest, DrainWaitEndsWhenLastWorkerLeaves)
{
    AcquireIoRef(adapter);
    sim::Thread worker("worker", [this] {
        LARGE_INTEGER delay;
        delay.QuadPart = -2 * 10'000'000LL;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        ReleaseIoRef(adapter);
    });
    KeWaitForSingleObject(&adapter->StopEvent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeQueryInterruptTime(), 2ULL * 10'000'000);
    EXPECT_EQ(adapter->IoRefCount, 1);
    worker.Join();
}

}  // namespace
