// Serial control requests as the UART carries them out, through the whole
// stack, witnessed by the model at the far end of each line.
#include <vector>

#include "tests/lifecycle/lifecycle_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Line = std::vector<sim::adapter::LineCharacter>;
using SerialLineTest = testing_support::LifecycleTest;

// Port i + 1 with the host's software flow: the far end sends XOFF, the host
// writes "ab", the far end sends XON; then 48 characters (the mark, with room
// for 64) come faster than the driver reads them, and it drains them.
TEST_F(SerialLineTest, TheUartDoesWhatTheHostAskedFor)
{
    const struct {
        ULONG flowReplace;
        Bytes whileXoff, afterXon, sentAtMarks;
    } rows[] = {{0, {'a', 'b'}, {}, {}},
                {SERIAL_AUTO_TRANSMIT, {}, {'a', 'b'}, {}},
                {SERIAL_AUTO_RECEIVE, {'a', 'b'}, {}, {0x13, 0x11}},
                {SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE, {}, {'a', 'b'}, {0x13, 0x11}}};
    LARGE_INTEGER moment{.QuadPart = -10 * sim::kTicksPerMillisecond};  // for the driver to move what was written
    auto pause = [&moment] { KeDelayExecutionThread(KernelMode, FALSE, &moment); };
    PlugAdapter("NX4F0001");
    auto &firmware = static_cast<sim::adapter::MainFirmware &>(*models.back());
    firmware.SetReceiveCapacity(64);
    sim::host::HostSerialDriver &host = *Host("NX4F0001");
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(rows[i].flowReplace);
        sim::host::HostPort &port = *HostPort("NX4F0001", i);
        firmware.ConnectEndpoint(i + 1);
        ASSERT_TRUE(host.Open(port) && host.Bind(port, 1024, 1024));
        SERIAL_HANDFLOW flow{0, rows[i].flowReplace, 0, 0};
        ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow), nullptr, 0));
        firmware.Inject(i + 1, {0x13});
        host.Write(port, reinterpret_cast<const uint8_t *>("ab"), 2);
        pause();
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), rows[i].whileXoff);
        EXPECT_EQ(firmware.Port(i + 1).heldByXoff, rows[i].whileXoff.empty());
        firmware.Inject(i + 1, {0x11});
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), rows[i].afterXon);
        firmware.Inject(i + 1, Bytes(48, 'x'));
        pause();
        EXPECT_EQ(firmware.TakeTransmitted(i + 1), rows[i].sentAtMarks);
    }

    // Line control 7E1 on port 1 reaches the line as such; break on holds
    // what the driver gave the UART and the far end sees the line at space;
    // the far end's break reaches the host as line status.
    sim::host::HostPort &port = *HostPort("NX4F0001", 0);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line), nullptr, 0));
    const Bytes sent = {0xC1, 0x43};
    host.Write(port, sent.data(), sent.size());
    pause();
    EXPECT_EQ(firmware.TakeLine(1), (Line{{0x41, {7, 'e', 1}}, {0x43, {7, 'e', 1}}}));
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0));
    host.Write(port, sent.data(), sent.size());
    pause();
    EXPECT_EQ(host.Unsent(port), 0u);
    EXPECT_EQ(firmware.TakeLine(1), (Line{{0, {7, 'e', 1}, true}}));
    ASSERT_TRUE(host.Control(port, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0));
    EXPECT_EQ(firmware.TakeTransmitted(1), (Bytes{0x41, 0x43}));
    const uint64_t events = port.EventCount();
    firmware.InjectBreak(1);
    ASSERT_TRUE(host.WaitEvents(port, events + 1, sim::kTicksPerSecond));
    EXPECT_EQ(port.Events().back().Values[1], sim::adapter::kLsrBreak);
}

}  // namespace
