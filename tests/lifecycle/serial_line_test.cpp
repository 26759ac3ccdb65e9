// The serial control requests as the UART carries them out, seen from the far
// end of the line through the whole stack (Plug and Play, the driver, the host
// serial driver): software flow in the directions asked for, line control,
// break. The model, not the driver's records, is the witness.
#include <vector>

#include "tests/lifecycle/lifecycle_support.h"

namespace {

using sim::adapter::Framing;
using sim::adapter::LineCharacter;
using Bytes = std::vector<uint8_t>;
using SerialLineTest = testing_support::LifecycleTest;

constexpr uint8_t kXoff = 0x13, kXon = 0x11;

// Long enough, in kernel time, for the driver to move what the host wrote.
void Pause()
{
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * sim::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

struct FlowRow {
    const char *name;
    ULONG flowReplace;
    Bytes whileXoff, afterXon;  // what "ab" written after the far end's XOFF did
    Bytes atMark, drained;      // what the UART sent at its FIFO's mark, and once read
};

TEST_F(SerialLineTest, SoftwareFlowWorksInTheDirectionsTheHostAskedFor)
{
    const FlowRow rows[] = {
        {"neither", 0, {'a', 'b'}, {}, {}, {}},
        {"transmit", SERIAL_AUTO_TRANSMIT, {}, {'a', 'b'}, {}, {}},
        {"receive", SERIAL_AUTO_RECEIVE, {'a', 'b'}, {}, {kXoff}, {kXon}},
        {"both", SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, {}, {'a', 'b'}, {kXoff}, {kXon}},
    };
    PlugAdapter("NX4F0001");
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(*models.back());
    firmware.SetReceiveCapacity(64);  // the mark at 48 characters
    sim::host::HostSerialDriver &host = *Host("NX4F0001");
    for (int i = 0; i < 4; i++) {
        const FlowRow &row = rows[i];
        SCOPED_TRACE(row.name);
        sim::host::HostPort &port = *HostPort("NX4F0001", i);
        firmware.ConnectEndpoint(i + 1);
        ASSERT_TRUE(host.Open(port) && host.Bind(port, 1024, 1024));
        SERIAL_HANDFLOW flow{0, row.flowReplace, 0, 0};
        ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0));
        firmware.Inject(i + 1, {kXoff});
        host.Write(port, reinterpret_cast<const uint8_t *>("ab"), 2);
        Pause();
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), row.whileXoff);
        firmware.Inject(i + 1, {kXon});
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), row.afterXon);
        firmware.Inject(i + 1, Bytes(48, 'x'));  // faster than the driver reads
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), row.atMark);
        Pause();
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), row.drained);
        EXPECT_TRUE(host.Close(port));
    }
}

TEST_F(SerialLineTest, LineControlAndBreakReachTheFarEnd)
{
    PlugAdapter("NX4L0001");
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(*models.back());
    sim::host::HostSerialDriver &host = *Host("NX4L0001");
    sim::host::HostPort &port = *HostPort("NX4L0001", 0);
    firmware.ConnectEndpoint(1);
    firmware.SetPeerLines(1, sim::adapter::kMsrCts);  // the port's settings ask for CTS
    ASSERT_TRUE(host.Open(port) && host.Bind(port, 1024, 1024));
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0));
    const Bytes sent = {0xC1, 0x43};
    const Framing seven{7, 'e', 1};
    host.Write(port, sent.data(), sent.size());
    Pause();
    EXPECT_EQ(firmware.TakeLine(1), (std::vector<LineCharacter>{{0x41, seven}, {0x43, seven}}));

    // Break on: the far end sees the line held at space, the UART keeps what
    // the driver gave it, and sends it once break is off.
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0));
    host.Write(port, sent.data(), sent.size());
    Pause();
    EXPECT_EQ(host.Unsent(port), 0u);
    EXPECT_EQ(firmware.TakeLine(1), (std::vector<LineCharacter>{{0, seven, true}}));
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0));
    EXPECT_EQ(firmware.TakeTransmitted(1), (Bytes{0x41, 0x43}));

    // A break from the far end reaches the host as line status.
    const uint64_t before = port.EventCount();
    firmware.InjectBreak(1);
    ASSERT_TRUE(host.WaitEvents(port, before + 1, sim::kTicksPerSecond));
    EXPECT_EQ(port.Events().back().Values[1], sim::adapter::kLsrBreak);
    EXPECT_TRUE(host.Close(port));
}

}  // namespace
