// Four ports at once, end to end: the host opens and binds them, sets
// 115200 baud 8N1 with RTS/CTS flow, and moves data both ways through a
// loopback plug on ports 1 and 2 and a null-modem cable between ports 3 and
// 4, with random write sizes and rings that wrap. Every byte must arrive
// once and in order, line changes must arrive as events, and every port must
// close with the echo drain, leaving nothing allocated.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>

#include "sim/world.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using sim::adapter::kMsrCts;
using sim::adapter::kMsrDcd;
using sim::adapter::kMsrDsr;

constexpr int64_t kWaitLimit = 5 * sim::kTicksPerSecond;

size_t BytesPerStream()
{
    if (const char *text = std::getenv("NUVIX_E2E_BYTES"))
        return std::strtoull(text, nullptr, 0);
    return 1 << 20;
}

// The bytes of one stream, reproducible from its seed.
class Stream {
public:
    explicit Stream(uint64_t seed) : rng_(seed) {}
    uint8_t Next() { return static_cast<uint8_t>(rng_() >> 24); }

private:
    std::mt19937 rng_;
};

class EndToEndTest : public testing_support::SimTest {
protected:
    void Configure(int number)
    {
        auto &port = rig.HostPort(number);
        ULONG baud = 115200;
        ASSERT_TRUE(rig.host.Control(port, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), nullptr, 0));
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        ASSERT_TRUE(rig.host.Control(port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0));
        SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
        ASSERT_TRUE(rig.host.Control(port, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0));
    }

    // Writes the stream in chunks of random size, waiting for room.
    void Produce(int number, uint64_t seed, size_t total)
    {
        auto &port = rig.HostPort(number);
        Stream stream(seed);
        std::mt19937 sizes(static_cast<uint32_t>(seed * 7 + 1));
        std::vector<uint8_t> chunk;
        size_t sent = 0;
        while (sent < total) {
            size_t want = std::min<size_t>(total - sent, 1 + sizes() % 300);
            chunk.resize(want);
            for (auto &b : chunk)
                b = stream.Next();
            size_t offset = 0;
            while (offset < want) {
                offset += rig.host.Write(port, chunk.data() + offset, want - offset);
                if (offset < want && !rig.host.WaitWritable(port, kWaitLimit)) {
                    ADD_FAILURE() << "port " << number << " could not write after " << sent + offset << " bytes";
                    return;
                }
            }
            sent += want;
        }
    }

    // Reads until the whole stream has arrived, checking every byte.
    void Consume(int number, uint64_t seed, size_t total)
    {
        auto &port = rig.HostPort(number);
        Stream expected(seed);
        std::vector<uint8_t> buffer(700);
        size_t received = 0;
        while (received < total) {
            size_t n = rig.host.Read(port, buffer.data(), buffer.size());
            for (size_t i = 0; i < n; i++) {
                uint8_t want = expected.Next();
                if (buffer[i] != want) {
                    ADD_FAILURE() << "port " << number << " byte " << received + i << ": got " << int(buffer[i])
                                  << ", expected " << int(want);
                    return;
                }
            }
            received += n;
            if (n == 0 && received < total && !rig.host.WaitReadable(port, kWaitLimit)) {
                ADD_FAILURE() << "port " << number << " stalled after " << received << " of " << total << " bytes";
                return;
            }
        }
    }

    ULONG Modem(int number)
    {
        ULONG status = 0;
        rig.host.Control(rig.HostPort(number), IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status));
        return status;
    }

    testing_support::FirmwareRig rig;
};

TEST_F(EndToEndTest, FourPortsMoveDataBothWaysAtOnceAndCloseClean)
{
    rig.firmware.ConnectLoopback(1);
    rig.firmware.ConnectLoopback(2);
    rig.firmware.ConnectNullModem(3, 4);

    // Ring sizes chosen from the seed, small enough to wrap many times.
    std::mt19937 choose(static_cast<uint32_t>(world_.Seed()));
    for (int number = 1; number <= 4; number++) {
        ULONG rx = 64 + choose() % 2000;
        ULONG tx = 1 + choose() % 2000;
        rig.OpenAndBind(number, rx, tx);
        Configure(number);
    }

    const size_t total = BytesPerStream();
    // Loopback ports hear themselves; the null-modem pair hears each other.
    const int listener[5] = {0, 1, 2, 4, 3};
    std::vector<std::unique_ptr<sim::Thread>> threads;
    for (int number = 1; number <= 4; number++) {
        uint64_t seed = 1000 + number;
        threads.push_back(std::make_unique<sim::Thread>("producer " + std::to_string(number),
                                                        [this, number, seed, total] { Produce(number, seed, total); }));
        threads.push_back(std::make_unique<sim::Thread>(
            "consumer " + std::to_string(listener[number]),
            [this, number, seed, total, &listener] { Consume(listener[number], seed, total); }));
    }
    for (auto &thread : threads)
        thread->Join();
    for (int number = 1; number <= 4; number++) {
        auto stats = rig.HostPort(number).Stats();
        EXPECT_EQ(stats.bytesRead, total) << "port " << number;
        EXPECT_EQ(stats.bytesQueued, total) << "port " << number;
        EXPECT_EQ(rig.firmware.Port(number).bytesLost, 0u) << "port " << number;
    }

    // DTR on one end shows as DSR and DCD on the other; with RTS under the
    // UART's control, CTS is up whenever the other side has room.
    EXPECT_EQ(Modem(1) & (kMsrDsr | kMsrDcd | kMsrCts), ULONG{kMsrDsr | kMsrDcd | kMsrCts});
    size_t before = rig.HostPort(4).Events().size();
    ASSERT_TRUE(rig.host.Control(rig.HostPort(3), IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(rig.host.WaitEvents(rig.HostPort(4), before + 1, kWaitLimit));
    EventRecord last = rig.HostPort(4).Events().back();
    EXPECT_EQ(last.PortNumber, 4);
    EXPECT_EQ(last.Flags & 1, 1);
    EXPECT_EQ(last.Values[0] & (kMsrDsr | kMsrDcd), 0);
    EXPECT_EQ(Modem(4) & (kMsrDsr | kMsrDcd), 0u);
    EXPECT_EQ(Modem(4) & kMsrCts, ULONG{kMsrCts});

    for (int number = 1; number <= 4; number++) {
        EXPECT_TRUE(rig.host.Close(rig.HostPort(number)));
        EXPECT_EQ(rig.Port(number)->ReadIrp, nullptr);
        EXPECT_EQ(rig.Port(number)->WriteIrp, nullptr);
    }
    EXPECT_EQ(rig.adapter->OpenPortCount, 0u);
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

}  // namespace
