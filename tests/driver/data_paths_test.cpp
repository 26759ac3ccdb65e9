// The receive and transmit paths of one port, driven directly against a
// scripted device, with a hand-made host record.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "driver/port/data_paths.h"
#include "driver/usb/transport.h"
#include "sim/kernel/resources.h"
#include "tests/support/adapter_rig.h"
#include "tests/support/sim_test.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x01;

// A device whose OUT endpoint takes at most `limit` bytes of a transfer, and
// answers the first `zeroReplies` transfers with nothing taken.
class ShortWriteDevice : public sim::usb::ScriptedDevice {
public:
    size_t limit = 64;
    int zeroReplies = 0;
    sim::usb::BulkAnswer BulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override
    {
        if (zeroReplies > 0) {
            zeroReplies--;
            return sim::usb::BulkAnswer::Done(0);
        }
        return ScriptedDevice::BulkOut(endpoint, data, std::min(length, limit));
    }
};

struct HostSide {
    HostBuffers buffers{};
    ULONG rxIdle = 7;
    ULONG txIdle = 7;
    Bytes rx, tx;
    int rxNotifies = 0;
    int txNotifies = 0;
};
HostSide *gHost = nullptr;
VOID HOSTAPI OnRx(ULONG) { gHost->rxNotifies++; }
VOID HOSTAPI OnTx(ULONG) { gHost->txNotifies++; }

class DataPathsTest : public testing_support::SimTest {
protected:
    DataPathsTest()
    {
        rig.SelectConfiguration();
        port = rig.AddPort(1, kIn, kOut);
        port->Open = TRUE;
        gHost = &host;
    }
    ~DataPathsTest() override { gHost = nullptr; }

    void Rings(ULONG rxSize, ULONG txSize)
    {
        host.rx.assign(rxSize, 0);
        host.tx.assign(txSize, 0);
        host.buffers.RxBase = rxSize ? host.rx.data() : nullptr;
        host.buffers.RxSize = rxSize;
        host.buffers.TxBase = txSize ? host.tx.data() : nullptr;
        host.buffers.TxSize = txSize;
        port->HostBinding.HostBuffers = &host.buffers;
        port->HostBinding.RxNotify = OnRx;
        port->HostBinding.TxNotify = OnTx;
        port->HostBinding.RxIdleFlag = &host.rxIdle;
        port->HostBinding.TxIdleFlag = &host.txIdle;
    }
    NTSTATUS UnderLock(NTSTATUS (*start)(PortContext *))
    {
        LockAcquire(&rig.adapter->Lock);
        NTSTATUS status = start(port);
        LockRelease(&rig.adapter->Lock);
        return status;
    }
    void Settle() { rig.bus.Drain(); }
    // Sets a flag of the adapter's as the driver does, under its lock.
    void SetFlag(BOOLEAN &flag, BOOLEAN value)
    {
        LockAcquire(&rig.adapter->Lock);
        flag = value;
        LockRelease(&rig.adapter->Lock);
    }

    ShortWriteDevice device;
    testing_support::AdapterRig rig{device, {kIn, kOut}};
    PortContext *port = nullptr;
    HostSide host;
};

// --- Ring arithmetic ---------------------------------------------------------

TEST_F(DataPathsTest, AppendWrapsAroundTheEndOfTheRing)
{
    Rings(128, 0);
    host.buffers.RxWriteIndex = 124;
    Bytes data(10);
    std::iota(data.begin(), data.end(), 1);
    EXPECT_EQ(AppendRxData(&host.buffers, data.data(), 10), 10u);
    EXPECT_EQ(Bytes(host.rx.begin() + 124, host.rx.end()), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(host.rx.begin(), host.rx.begin() + 6), (Bytes{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(host.buffers.RxWriteIndex, 6u);
    EXPECT_EQ(host.buffers.RxCount, 10u);

    host.buffers.RxWriteIndex = 118;  // ends exactly at the end: no split
    EXPECT_EQ(AppendRxData(&host.buffers, data.data(), 10), 10u);
    EXPECT_EQ(host.buffers.RxWriteIndex, 0u);
}

TEST_F(DataPathsTest, AppendRefusesWhenAWholeReadWouldNotFit)
{
    Rings(128, 0);
    host.buffers.RxCount = 65;  // 63 free: less than one read, whatever the count
    Bytes data(1, 9);
    EXPECT_EQ(AppendRxData(&host.buffers, data.data(), 1), 0u);
    host.buffers.RxCount = 0;
    EXPECT_EQ(AppendRxData(&host.buffers, data.data(), 0), 0u);
    host.buffers.RxWriteIndex = 500;  // a host that broke its own ring
    EXPECT_EQ(AppendRxData(&host.buffers, data.data(), 1), 0u);
    EXPECT_EQ(host.buffers.RxCount, 0u);
}

TEST_F(DataPathsTest, TransmitCopyWrapsWithoutMovingTheRing)
{
    Rings(0, 128);
    std::iota(host.tx.begin(), host.tx.end(), 0);
    host.buffers.TxReadIndex = 120;
    host.buffers.TxCount = 30;
    UCHAR chunk[64];
    EXPECT_EQ(CopyTxData(&host.buffers, chunk, 30), 30u);
    EXPECT_EQ(chunk[0], 120);
    EXPECT_EQ(chunk[7], 127);
    EXPECT_EQ(chunk[8], 0);
    EXPECT_EQ(chunk[29], 21);
    EXPECT_EQ(host.buffers.TxReadIndex, 120u);
    EXPECT_EQ(host.buffers.TxCount, 30u);
}

// --- Receive -------------------------------------------------------------------

TEST_F(DataPathsTest, AReadStartsOnlyWhenAWholeReadFits)
{
    Rings(64, 0);
    EXPECT_EQ(UnderLock(StartPortRead), STATUS_PENDING);
    EXPECT_EQ(host.rxIdle, IDLE_RUNNING);
    EXPECT_NE(port->ReadIrp, nullptr);
    EXPECT_EQ(UnderLock(StartPortRead), STATUS_UNSUCCESSFUL);  // one in flight already
    EXPECT_EQ(host.rxIdle, IDLE_RUNNING);
    CancelAndWait(rig.adapter, &port->ReadIrp, &port->ReadDoneEvent);

    host.buffers.RxCount = 1;
    EXPECT_EQ(UnderLock(StartPortRead), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
    EXPECT_EQ(port->ReadIrp, nullptr);

    Rings(63, 0);
    EXPECT_EQ(UnderLock(StartPortRead), STATUS_UNSUCCESSFUL);  // a ring below 64 never reads
    Rings(0, 0);
    host.rxIdle = 0;
    EXPECT_EQ(UnderLock(StartPortRead), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
}

TEST_F(DataPathsTest, ReceivedBytesLandInTheRingAndTheNextReadStarts)
{
    Rings(256, 0);
    UnderLock(StartPortRead);
    rig.device.PushIn(kIn, {1, 2, 3});
    rig.device.PushIn(kIn, {});  // a zero-length transfer: nothing to append
    rig.device.PushIn(kIn, {4});
    Settle();
    EXPECT_EQ(host.buffers.RxCount, 4u);
    EXPECT_EQ(Bytes(host.rx.begin(), host.rx.begin() + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(host.rxNotifies, 2);
    EXPECT_NE(port->ReadIrp, nullptr);
    EXPECT_EQ(host.rxIdle, IDLE_RUNNING);
}

// A read that fails stops reception; the idle word must say so, or a host
// that follows its contract never calls StartRead again and the port is dead.
TEST_F(DataPathsTest, AFailedReadStopsReceptionAndTheIdleWordSaysSoUntilTheHostRestartsIt)
{
    Rings(256, 0);
    UnderLock(StartPortRead);
    rig.device.FailNext(kIn, USBD_STATUS_DEV_NOT_RESPONDING);
    Settle();
    EXPECT_EQ(KeReadStateEvent(&port->ReadDoneEvent), 1);
    EXPECT_EQ(port->ReadIrp, nullptr);
    EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
    EXPECT_EQ(host.rxNotifies, 0);

    UnderLock(StartPortRead);
    EXPECT_EQ(host.rxIdle, IDLE_RUNNING);
    rig.device.PushIn(kIn, {1, 2, 3});
    Settle();
    EXPECT_EQ(host.buffers.RxCount, 3u);
    EXPECT_EQ(host.rxNotifies, 1);
}

// Without a request or a descriptor list, or with a stop begun, no read
// starts, and the idle word says stopped so that the host tries again.
TEST_F(DataPathsTest, AReadThatCannotStartSaysStoppedWhateverTheReason)
{
    Rings(256, 0);
    for (sim::ResourceKind missing : {sim::ResourceKind::Irp, sim::ResourceKind::Mdl}) {
        sim::Resources::Get().FailNth(missing, 1);
        host.rxIdle = 7;
        EXPECT_EQ(UnderLock(StartPortRead), STATUS_INSUFFICIENT_RESOURCES) << int(missing);
        EXPECT_EQ(host.rxIdle, IDLE_STOPPED) << int(missing);
        EXPECT_EQ(port->ReadIrp, nullptr) << int(missing);
    }
    SetFlag(rig.adapter->Stopping, TRUE);
    host.rxIdle = 7;
    EXPECT_FALSE(NT_SUCCESS(UnderLock(StartPortRead)));
    EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
    EXPECT_EQ(port->ReadIrp, nullptr);
}

// A direction whose ring is gone (no base, whatever its counts say) starts
// no transfer, and one that completes after the ring went neither takes
// from it nor puts into it; each says stopped until the host rebinds.
TEST_F(DataPathsTest, APathWithoutItsRingNeitherStartsNorTouchesTheRing)
{
    for (bool inFlight : {false, true}) {
        Rings(256, 256);
        host.buffers.TxCount = 10;
        host.rxIdle = host.txIdle = 7;
        rig.device.HoldOut(kOut, inFlight);
        if (inFlight) {
            UnderLock(StartPortRead);
            UnderLock(StartPortWrite);
            Settle();
        }
        host.buffers.RxBase = host.buffers.TxBase = nullptr;
        if (inFlight)
            rig.device.PushIn(kIn, {1, 2, 3});
        rig.device.HoldOut(kOut, false);
        Settle();
        if (!inFlight) {
            EXPECT_EQ(UnderLock(StartPortRead), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(UnderLock(StartPortWrite), STATUS_UNSUCCESSFUL);
        }
        EXPECT_EQ(host.buffers.RxCount + host.buffers.TxReadIndex, 0u) << inFlight;
        EXPECT_EQ(host.buffers.TxCount, 10u) << inFlight;
        EXPECT_TRUE(port->ReadIrp == nullptr && port->WriteIrp == nullptr) << inFlight;
        EXPECT_EQ(host.rxIdle + host.txIdle, 2u * IDLE_STOPPED) << inFlight;
    }
}

// A read that completes with data once a stop (or removal) has begun hands
// the data on but starts no next read: a re-armed read would stay on the
// deselected configuration and the restart would wait for it.
TEST_F(DataPathsTest, AReadCompletingDuringAStopOrRemovalDeliversButDoesNotReArm)
{
    Rings(256, 0);
    for (BOOLEAN *flag : {&rig.adapter->Stopping, &rig.adapter->Removed}) {
        SCOPED_TRACE(flag == &rig.adapter->Stopping ? "stop" : "removal");
        UnderLock(StartPortRead);
        ASSERT_NE(port->ReadIrp, nullptr);
        SetFlag(*flag, TRUE);
        rig.device.PushIn(kIn, {9});
        Settle();
        EXPECT_EQ(port->ReadIrp, nullptr);
        EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
        SetFlag(*flag, FALSE);
    }
    EXPECT_EQ(host.buffers.RxCount, 2u);
}

// After close only the whole marker of this port's last close ends the
// drain: frames shaped like a marker are port data. Once the port is open
// again, a marker that comes late (its drain timed out) is dropped, once.
TEST_F(DataPathsTest, OnlyTheAwaitedMarkerEndsTheDrainAndNeverReachesTheHost)
{
    Bytes marker = {'B', 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 'G'};
    ASSERT_EQ(marker.size(), size_t(DRAIN_MARKER_LENGTH));
    std::memcpy(port->DrainMarker, marker.data(), marker.size());
    port->DrainMarkerPending = TRUE;
    Rings(256, 0);
    UnderLock(StartPortRead);
    port->Open = FALSE;
    Bytes changed = marker;
    changed[7] ^= 1;
    Bytes longer = marker;
    longer.push_back('!');
    for (const Bytes &lookalike : {Bytes{'B', 'O', 'N', 'G'}, Bytes{'B', 'x', 'y', 'G'},
                                   Bytes(marker.begin(), marker.end() - 1), changed, longer}) {
        rig.device.PushIn(kIn, lookalike);
        Settle();
        EXPECT_EQ(KeReadStateEvent(&port->ReadDoneEvent), 0) << lookalike.size();
        EXPECT_NE(port->ReadIrp, nullptr);
    }
    rig.device.PushIn(kIn, marker);
    Settle();
    EXPECT_EQ(KeReadStateEvent(&port->ReadDoneEvent), 1);
    EXPECT_EQ(port->ReadIrp, nullptr);
    EXPECT_FALSE(port->DrainMarkerPending);
    EXPECT_EQ(host.buffers.RxCount, 0u);

    // Open again with a marker still awaited: it is dropped, the next one
    // like it (no longer awaited) is data.
    port->Open = TRUE;
    port->DrainMarkerPending = TRUE;
    UnderLock(StartPortRead);
    rig.device.PushIn(kIn, marker);
    rig.device.PushIn(kIn, Bytes{'B', 'O', 'N', 'G'});
    rig.device.PushIn(kIn, marker);
    Settle();
    Bytes data = {'B', 'O', 'N', 'G'};
    data.insert(data.end(), marker.begin(), marker.end());
    ASSERT_EQ(host.buffers.RxCount, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), host.rx.begin()));
}

// --- Transmit ------------------------------------------------------------------

// A ring is sent in transfers of at most 64 bytes, from where it was read
// up to and across its end; only the bytes the device reports taken leave
// it (a transfer that took nothing is sent again and tells the host
// nothing), until it is empty and the idle word says stopped.
struct SendRow {
    ULONG ringSize, readIndex, count;
    size_t taken;     // at most, of each transfer
    int zeroReplies;  // transfers answered with nothing taken, first
    int notifies;
    std::vector<size_t> transfers;  // their lengths, in order
};
class SendTest : public DataPathsTest, public testing::WithParamInterface<SendRow> {};

TEST_P(SendTest, OnlyWhatTheDeviceTookLeavesTheRing)
{
    const SendRow &row = GetParam();
    Rings(0, row.ringSize);
    std::iota(host.tx.begin(), host.tx.end(), 0);
    host.buffers.TxReadIndex = row.readIndex;
    host.buffers.TxCount = row.count;
    device.limit = row.taken;
    device.zeroReplies = row.zeroReplies;
    EXPECT_EQ(UnderLock(StartPortWrite), STATUS_PENDING);
    Settle();
    EXPECT_EQ(host.buffers.TxReadIndex, (row.readIndex + row.count) % row.ringSize);
    EXPECT_EQ(host.buffers.TxCount, 0u);
    EXPECT_EQ(host.txNotifies, row.notifies);
    EXPECT_EQ(host.txIdle, IDLE_STOPPED);
    Bytes expected;
    for (ULONG i = 0; i < row.count; i++)
        expected.push_back(host.tx[(row.readIndex + i) % row.ringSize]);
    EXPECT_EQ(rig.device.TakeOut(kOut), expected);
    std::vector<size_t> lengths;
    for (const auto &record : rig.bus.Log())
        if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            lengths.push_back(record.length);
    EXPECT_EQ(lengths, row.transfers);
}

INSTANTIATE_TEST_SUITE_P(Rings, SendTest,
                         testing::Values(SendRow{256, 0, 100, 64, 0, 2, {64, 36}},
                                         SendRow{128, 120, 30, 10, 0, 3, {30, 20, 10}},  // 120 -> 2 -> 12 -> 22
                                         SendRow{128, 0, 5, 64, 2, 1, {5, 5, 5}}));

// A failed write leaves its bytes in the ring and stops transmission; the
// idle word says stopped, so the host's StartWrite sends them again.
TEST_F(DataPathsTest, AFailedWriteLeavesTheRingAndSaysStoppedUntilTheHostRestartsIt)
{
    Rings(0, 128);
    std::iota(host.tx.begin(), host.tx.end(), 0);
    host.buffers.TxCount = 5;
    rig.device.FailNext(kOut, USBD_STATUS_STALL_PID);
    UnderLock(StartPortWrite);
    Settle();
    EXPECT_EQ(KeReadStateEvent(&port->WriteDoneEvent), 1);
    EXPECT_EQ(host.buffers.TxCount, 5u);
    EXPECT_EQ(host.txIdle, IDLE_STOPPED);
    EXPECT_EQ(port->WriteIrp, nullptr);

    UnderLock(StartPortWrite);
    Settle();
    EXPECT_EQ(host.buffers.TxCount, 0u);
    EXPECT_EQ(rig.device.TakeOut(kOut), (Bytes{0, 1, 2, 3, 4}));
}

TEST_F(DataPathsTest, AHostThatEmptiedItsRingMidWriteGetsNothingTakenOut)
{
    Rings(0, 128);
    host.buffers.TxCount = 40;
    rig.device.HoldOut(kOut, true);
    UnderLock(StartPortWrite);
    Settle();
    host.buffers.TxCount = 0;  // the host's own doing, while the write is out
    rig.device.HoldOut(kOut, false);
    Settle();
    EXPECT_EQ(host.txNotifies, 0);
    EXPECT_EQ(host.buffers.TxReadIndex, 0u);
    EXPECT_EQ(host.txIdle, IDLE_STOPPED);
}

TEST_F(DataPathsTest, WritesStopWhenThePortClosesOrTheAdapterGoes)
{
    Rings(0, 128);
    host.buffers.TxCount = 100;
    rig.device.HoldOut(kOut, true);
    UnderLock(StartPortWrite);
    Settle();
    port->Open = FALSE;
    rig.device.HoldOut(kOut, false);
    Settle();
    EXPECT_EQ(host.buffers.TxCount, 100u);  // nothing taken out, nothing more sent
    EXPECT_EQ(rig.device.TakeOut(kOut).size(), 64u);
    EXPECT_EQ(port->WriteIrp, nullptr);
}

// A transfer that completes once a stop has begun is accounted for (read
// data reaches the ring, sent bytes leave it), but neither path re-arms
// behind the stop's cancels; each idle word says stopped, so the host's
// StartRead and StartWrite after the restart carry on.
TEST_F(DataPathsTest, ATransferThatCompletesDuringAStopCountsButDoesNotReArm)
{
    Rings(256, 256);
    host.buffers.TxCount = 100;
    rig.device.HoldOut(kOut, true);
    UnderLock(StartPortRead);
    UnderLock(StartPortWrite);
    Settle();
    ASSERT_NE(port->ReadIrp, nullptr);
    ASSERT_NE(port->WriteIrp, nullptr);

    SetFlag(rig.adapter->Stopping, TRUE);
    rig.device.PushIn(kIn, {1, 2, 3});
    rig.device.HoldOut(kOut, false);
    Settle();

    EXPECT_EQ(host.buffers.RxCount, 3u);
    EXPECT_EQ(host.rxNotifies, 1);
    EXPECT_EQ(host.buffers.TxCount, 36u);
    EXPECT_EQ(port->ReadIrp, nullptr);
    EXPECT_EQ(port->WriteIrp, nullptr);
    EXPECT_EQ(host.rxIdle, IDLE_STOPPED);
    EXPECT_EQ(host.txIdle, IDLE_STOPPED);
    EXPECT_EQ(rig.device.TakeOut(kOut).size(), 64u);
}

}  // namespace
