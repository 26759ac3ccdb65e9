// The host's serial control requests: settings and their read-back, the
// firmware commands they send, purge, the bind, and bad input.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/base/protocol.h"
#include "driver/service/serial_settings.h"
#include "sim/kernel/registry.h"
#include "tests/support/firmware_rig.h"
#include "tests/support/sim_test.h"

namespace {

using Frame = std::vector<uint8_t>;

class PortControlTest : public testing_support::SimTest {
protected:
    PortControlTest()
    {
        rig.OpenAndBind(1);
        rig.bus.Drain();
        sent = rig.firmware.Commands().size();
    }

    bool Control(ULONG code, const void *input, ULONG inputLength, void *output = nullptr, ULONG outputLength = 0)
    {
        return rig.host.Control(rig.HostPort(1), code, input, inputLength, output, outputLength);
    }
    // The commands sent since the last call.
    std::vector<Frame> NewCommands()
    {
        rig.bus.Drain();
        auto all = rig.firmware.Commands();
        std::vector<Frame> fresh(all.begin() + static_cast<long>(sent), all.end());
        sent = all.size();
        return fresh;
    }
    SERIAL_LINE_CONTROL GetLine()
    {
        SERIAL_LINE_CONTROL line{0xEE, 0xEE, 0xEE};
        EXPECT_TRUE(Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof(line)));
        return line;
    }
    bool SetLine(UCHAR stop, UCHAR parity, UCHAR word)
    {
        SERIAL_LINE_CONTROL line{stop, parity, word};
        return Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line));
    }
    const UCHAR *Settings() { return rig.Port(1)->PortSettings; }

    testing_support::FirmwareRig rig;
    size_t sent = 0;
};

TEST_F(PortControlTest, BaudRateIsStoredSentAndReadBackWithoutRangeCheck)
{
    ULONG baud = 0;
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud)));
    EXPECT_EQ(baud, 9600u);

    ULONG zero = 0;
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_BAUD_RATE, &zero, sizeof(zero)));
    auto commands = NewCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].size(), 14u);
    EXPECT_EQ(commands[0][0], CMD_SETUP);
    EXPECT_EQ(Frame(commands[0].begin() + 1, commands[0].end()), Frame(Settings(), Settings() + 13));

    ULONG fast = 115200;
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_BAUD_RATE, &fast, 3));  // too short: ignored
    EXPECT_TRUE(NewCommands().empty());
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud)));
    EXPECT_EQ(baud, 0u);
    EXPECT_EQ(rig.firmware.Port(1).line.baud, 0u);
}

// One line setting per row: a valid one is stored, sent and read back; an
// invalid one is answered true but sends nothing and leaves the default.
struct LineRow {
    UCHAR stop, parity, word;
    bool valid;
    UCHAR stopCode, parityCode;  // as the setup carries them, when valid
};

class LineControlTest : public PortControlTest, public ::testing::WithParamInterface<LineRow> {};

TEST_P(LineControlTest, AcceptsTheValidCombinationsOnly)
{
    const LineRow &row = GetParam();
    EXPECT_TRUE(SetLine(row.stop, row.parity, row.word));
    SERIAL_LINE_CONTROL line = GetLine();
    if (row.valid) {
        EXPECT_EQ(NewCommands().size(), 1u);
        EXPECT_EQ(Settings()[SETTING_DATA_BITS], row.word);
        EXPECT_EQ(Settings()[SETTING_STOP_CODE], row.stopCode);
        EXPECT_EQ(Settings()[SETTING_PARITY], row.parityCode);
        EXPECT_EQ(line.StopBits, row.stop);
        EXPECT_EQ(line.Parity, row.parity);
        EXPECT_EQ(line.WordLength, row.word);
    } else {
        EXPECT_TRUE(NewCommands().empty());
        EXPECT_EQ(line.StopBits, STOP_BIT_1);
        EXPECT_EQ(line.Parity, NO_PARITY);
        EXPECT_EQ(line.WordLength, 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, LineControlTest,
                         ::testing::Values(LineRow{STOP_BITS_1_5, NO_PARITY, 5, true, 2, 'n'},
                                           LineRow{STOP_BITS_2, MARK_PARITY, 7, true, 2, '1'},
                                           LineRow{STOP_BITS_1_5, NO_PARITY, 8, false, 0, 0},
                                           LineRow{STOP_BITS_2, NO_PARITY, 5, false, 0, 0},
                                           LineRow{STOP_BIT_1, NO_PARITY, 4, false, 0, 0},
                                           LineRow{STOP_BIT_1, NO_PARITY, 9, false, 0, 0},
                                           LineRow{STOP_BIT_1, 5, 8, false, 0, 0},
                                           LineRow{3, NO_PARITY, 8, false, 0, 0}));

TEST_F(PortControlTest, HandFlowMapsToSoftwareFlowHandshakeBitsAndLineCommands)
{
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 20};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)));
    EXPECT_EQ(Settings()[SETTING_SOFT_FLOW], 'n');
    EXPECT_EQ(Settings()[SETTING_HANDSHAKE], 0);
    auto commands = NewCommands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0][0], CMD_SETUP);
    EXPECT_EQ(commands[1], (Frame{CMD_SET_DTR, 1, 1}));
    EXPECT_EQ(commands[2], (Frame{CMD_SET_RTS, 1, 1}));

    flow = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE,
            SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_RTS_HANDSHAKE, 0, 0};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)));
    EXPECT_EQ(Settings()[SETTING_SOFT_FLOW], 'b');
    EXPECT_EQ(Settings()[SETTING_HANDSHAKE], 0x8A);
    commands = NewCommands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1], (Frame{CMD_SET_DTR, 1, 0}));
    EXPECT_EQ(commands[2], (Frame{CMD_SET_RTS, 1, 0}));

    SERIAL_HANDFLOW back{};
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &back, sizeof(back)));
    EXPECT_EQ(std::memcmp(&back, &flow, sizeof(flow)), 0);

    SERIAL_HANDFLOW bad{0x04, 0, 0, 0};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &bad, sizeof(bad)));
    bad = {0, 0x20, 0, 0};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &bad, sizeof(bad)));
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow) - 1));
    EXPECT_TRUE(NewCommands().empty());
    EXPECT_EQ(Settings()[SETTING_HANDSHAKE], 0x8A);
}

TEST_F(PortControlTest, TransmitToggleAndTheDtrFieldGiveTheirBits)
{
    SERIAL_HANDFLOW flow{0x03, SERIAL_TRANSMIT_TOGGLE, 0, 0};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)));
    EXPECT_EQ(Settings()[SETTING_HANDSHAKE], HANDSHAKE_RTS | HANDSHAKE_DTR);
    auto commands = NewCommands();
    EXPECT_EQ(commands[1], (Frame{CMD_SET_DTR, 1, 1}));
    EXPECT_EQ(commands[2], (Frame{CMD_SET_RTS, 1, 1}));
}

TEST_F(PortControlTest, SpecialCharactersAreKeptButTheSetupKeepsItsOwn)
{
    UCHAR chars[6] = {1, 2, 3, 4, 0x51, 0x53};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_CHARS, chars, sizeof(chars)));
    UCHAR back[6] = {};
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_CHARS, nullptr, 0, back, sizeof(back)));
    EXPECT_EQ(std::memcmp(back, chars, 6), 0);
    ULONG baud = 19200;
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud)));
    auto commands = NewCommands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0][1 + SETTING_XOFF], 0x13);
    EXPECT_EQ(commands[0][1 + SETTING_XON], 0x11);
}

// One line or break request per row, and the command frame it sends.
struct CommandRow {
    ULONG code;
    Frame frame;
};

class LineCommandTest : public PortControlTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(LineCommandTest, SendsItsCommand)
{
    EXPECT_TRUE(Control(GetParam().code, nullptr, 0));
    EXPECT_EQ(NewCommands(), std::vector<Frame>{GetParam().frame});
    EXPECT_EQ(rig.firmware.Port(1).breakOn, GetParam().code == IOCTL_SERIAL_SET_BREAK_ON);
}

INSTANTIATE_TEST_SUITE_P(Rows, LineCommandTest,
                         ::testing::Values(CommandRow{IOCTL_SERIAL_SET_BREAK_ON, {CMD_SET_BREAK, 1, 1}},
                                           CommandRow{IOCTL_SERIAL_SET_BREAK_OFF, {CMD_SET_BREAK, 1, 0}},
                                           CommandRow{IOCTL_SERIAL_SET_DTR, {CMD_SET_DTR, 1, 1}},
                                           CommandRow{IOCTL_SERIAL_CLR_DTR, {CMD_SET_DTR, 1, 0}},
                                           CommandRow{IOCTL_SERIAL_SET_RTS, {CMD_SET_RTS, 1, 1}},
                                           CommandRow{IOCTL_SERIAL_CLR_RTS, {CMD_SET_RTS, 1, 0}}));

TEST_F(PortControlTest, ModemStatusIsReported)
{
    ULONG status = 0xFFFFFFFF;
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)));
    EXPECT_EQ(status, 0u);
    rig.Port(1)->ModemStatus = 0xB0;
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)));
    EXPECT_EQ(status, 0xB0u);
}

TEST_F(PortControlTest, EscapeCharacterRules)
{
    UCHAR escape = 0x1B;
    EXPECT_TRUE(Control(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1));
    EXPECT_EQ(rig.Port(1)->EscapeChar, 0x1B);
    escape = 0x11;  // the XON character
    EXPECT_TRUE(Control(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1));
    EXPECT_EQ(rig.Port(1)->EscapeChar, 0x1B);
    EXPECT_TRUE(Control(IOCTL_SERIAL_LSRMST_INSERT, nullptr, 0));  // empty input: ignored
    EXPECT_EQ(rig.Port(1)->EscapeChar, 0x1B);
    escape = 0;
    EXPECT_TRUE(Control(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1));
    EXPECT_EQ(rig.Port(1)->EscapeChar, 0);

    SERIAL_HANDFLOW flow{0, SERIAL_ERROR_CHAR, 0, 0};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)));
    escape = 0x1B;
    EXPECT_TRUE(Control(IOCTL_SERIAL_LSRMST_INSERT, &escape, 1));
    EXPECT_EQ(rig.Port(1)->EscapeChar, 0);
}

TEST_F(PortControlTest, PurgeAbortsOnlyAWriteInFlightAndOnlyForAValidMask)
{
    rig.firmware.HoldEndpoint(sim::adapter::PortOut(1), true);
    Frame data(8, 'p');
    rig.host.Write(rig.HostPort(1), data.data(), data.size());
    rig.bus.Drain();
    PIRP first = rig.Port(1)->WriteIrp;
    ASSERT_NE(first, nullptr);
    for (ULONG mask : {0x2u, 0x11u, 0x0u}) {
        EXPECT_TRUE(Control(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)));
        EXPECT_EQ(rig.Port(1)->WriteIrp, first);
    }
    ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
    EXPECT_TRUE(Control(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)));
    EXPECT_NE(rig.Port(1)->WriteIrp, nullptr);  // restarted from the ring
    rig.firmware.HoldEndpoint(sim::adapter::PortOut(1), false);
    rig.bus.Drain();
    EXPECT_EQ(rig.host.Unsent(rig.HostPort(1)), 0u);
}

TEST_F(PortControlTest, ABindTooShortIsIgnoredAndTheBindStaysPending)
{
    ASSERT_TRUE(rig.host.Open(rig.HostPort(2)));
    HostBinding binding{};
    EXPECT_TRUE(rig.host.Control(rig.HostPort(2), IOCTL_PORT_BIND, &binding, sizeof(binding) - 1, nullptr, 0));
    EXPECT_TRUE(rig.Port(2)->BindPending);
    EXPECT_FALSE(rig.host.StartRead(rig.HostPort(2)));
}

// A freshly opened port reads back the defaults whole, through every get
// request and in the setup payload the firmware receives.
TEST_F(PortControlTest, DefaultSettingsReadBackWholeAfterOpen)
{
    rig.OpenAndBind(3);
    NewCommands();  // the open and the bind's status request
    sim::host::HostPort &port = rig.HostPort(3);
    const Frame defaults = {3, 0x80, 0x25, 0x00, 0x00, 8, 1, 'n', 'n', 0x13, 0x11, 0x6E, 0};
    EXPECT_EQ(Frame(rig.Port(3)->PortSettings, rig.Port(3)->PortSettings + 13), defaults);

    ULONG baud = 0;
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud)));
    EXPECT_EQ(baud, 9600u);
    SERIAL_LINE_CONTROL line{0xEE, 0xEE, 0xEE};
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof(line)));
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 8);
    // No handflow was ever set: all zero.
    Frame flow(sizeof(SERIAL_HANDFLOW), 0xEE);
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, flow.data(), ULONG(flow.size())));
    EXPECT_EQ(flow, Frame(sizeof(SERIAL_HANDFLOW), 0));
    // Only XON and XOFF are given; the other four characters are zero.
    Frame chars(6, 0xEE);
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_GET_CHARS, nullptr, 0, chars.data(), ULONG(chars.size())));
    EXPECT_EQ(chars, (Frame{0, 0, 0, 0, 0x11, 0x13}));

    // Setting the speed it already has sends the defaults as they stand.
    ULONG same = 9600;
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_SET_BAUD_RATE, &same, sizeof(same), nullptr, 0));
    auto commands = NewCommands();
    ASSERT_EQ(commands.size(), 1u);
    Frame expected = defaults;
    expected.insert(expected.begin(), CMD_SETUP);
    EXPECT_EQ(commands[0], expected);
    auto uart = rig.firmware.Port(3);
    EXPECT_EQ(Frame(uart.setup.begin(), uart.setup.end()), defaults);
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

// Transmit abort with no write in flight does nothing at all, even with bytes
// left in a ring whose transmission stopped: only StartWrite restarts it.
TEST_F(PortControlTest, TransmitAbortWithNoWriteInFlightLeavesAStoppedRingAlone)
{
    sim::host::HostPort &port = rig.HostPort(1);
    rig.firmware.ConnectEndpoint(1);
    rig.firmware.FailNextTransfer(sim::adapter::PortOut(1), USBD_STATUS_STALL_PID);
    Frame data(12, 's');
    ASSERT_EQ(rig.host.Write(port, data.data(), data.size()), 12u);
    rig.bus.Drain();
    ASSERT_EQ(rig.Port(1)->WriteIrp, nullptr);  // the failed write stopped the path
    HostBuffers before = port.Buffers();
    ASSERT_EQ(before.TxCount, 12u);
    size_t logged = rig.bus.Log().size();
    int resets = rig.firmware.ResetCount(sim::adapter::PortOut(1));

    ULONG mask = SERIAL_PURGE_TXABORT;
    EXPECT_TRUE(Control(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)));
    rig.bus.Drain();
    EXPECT_EQ(rig.bus.Log().size(), logged);  // no cancel, no reset, no write
    EXPECT_EQ(rig.firmware.ResetCount(sim::adapter::PortOut(1)), resets);
    EXPECT_EQ(rig.Port(1)->WriteIrp, nullptr);
    EXPECT_EQ(port.Buffers().TxCount, before.TxCount);
    EXPECT_EQ(port.Buffers().TxReadIndex, before.TxReadIndex);
    EXPECT_TRUE(rig.firmware.TakeTransmitted(1).empty());

    EXPECT_TRUE(rig.host.StartWrite(port));
    rig.bus.Drain();
    EXPECT_EQ(rig.firmware.TakeTransmitted(1), data);
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

// The abort resets the OUT pipe of the purged port and no other, after the
// write's cancel has come back; the ring's positions do not move, so the new
// write carries the same bytes from the same place, and each goes out once.
TEST_F(PortControlTest, TransmitAbortResetsThePortsOwnOutPipeAndKeepsTheRingPositions)
{
    rig.OpenAndBind(2, 4096, 128);
    sim::host::HostPort &port = rig.HostPort(2);
    rig.firmware.ConnectEndpoint(2);
    Frame first(100, 'a');
    ASSERT_EQ(rig.host.Write(port, first.data(), first.size()), 100u);
    rig.bus.Drain();
    ASSERT_EQ(rig.firmware.TakeTransmitted(2), first);
    ASSERT_EQ(port.Buffers().TxReadIndex, 100u);

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(2), true);
    Frame second;
    for (int i = 0; i < 40; i++)
        second.push_back(static_cast<uint8_t>('A' + i % 26));
    ASSERT_EQ(rig.host.Write(port, second.data(), second.size()), 40u);  // wraps at 128
    rig.bus.Drain();
    ASSERT_NE(rig.Port(2)->WriteIrp, nullptr);
    size_t logged = rig.bus.Log().size();
    int resetsOther = rig.firmware.ResetCount(sim::adapter::PortOut(1));
    int resets = rig.firmware.ResetCount(sim::adapter::PortOut(2));

    ULONG mask = SERIAL_PURGE_TXABORT;
    EXPECT_TRUE(rig.host.Control(port, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0));
    auto log = rig.bus.Log();
    std::vector<sim::usb::UrbRecord> fresh(log.begin() + static_cast<long>(logged), log.end());
    ASSERT_GE(fresh.size(), 2u);
    EXPECT_EQ(fresh[0].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(fresh[0].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(fresh[0].endpoint, sim::adapter::PortOut(2));
    EXPECT_EQ(fresh[1].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(fresh[1].endpoint, sim::adapter::PortOut(2));
    EXPECT_EQ(fresh[1].status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(rig.firmware.ResetCount(sim::adapter::PortOut(2)), resets + 1);
    EXPECT_EQ(rig.firmware.ResetCount(sim::adapter::PortOut(1)), resetsOther);
    // Nothing taken out of the ring; a new write is on its way.
    EXPECT_EQ(port.Buffers().TxReadIndex, 100u);
    EXPECT_EQ(port.Buffers().TxCount, 40u);
    EXPECT_NE(rig.Port(2)->WriteIrp, nullptr);
    EXPECT_EQ(port.TxIdle(), 0u);

    rig.firmware.HoldEndpoint(sim::adapter::PortOut(2), false);
    rig.bus.Drain();
    EXPECT_EQ(rig.firmware.TakeTransmitted(2), second);
    EXPECT_EQ(port.Buffers().TxReadIndex, (100u + 40u) % 128u);
    EXPECT_EQ(port.Buffers().TxCount, 0u);
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

// The bind takes its record when the input holds all of it and not a byte
// less. (On the 32-bit platform the record is 36 bytes; here its pointers
// are wider.)
TEST_F(PortControlTest, ABindOfExactlyTheRecordIsTakenAndOneByteLessIsNot)
{
    static_assert(sizeof(HostBinding) == (sizeof(void *) == 8 ? 72u : 36u), "nine pointer-sized slots");
    ASSERT_TRUE(rig.host.Open(rig.HostPort(2)));
    NewCommands();
    // Words of the test's own, outliving the adapter; no rings, no callbacks.
    static ULONG rxIdle, txIdle;
    rxIdle = txIdle = 7;
    HostBinding binding{};
    binding.RxNotifyContext = 0x1111;
    binding.RxIdleFlag = &rxIdle;
    binding.TxNotifyContext = 0x2222;
    binding.TxIdleFlag = &txIdle;
    binding.EventNotifyContext = 0x3333;
    const auto *bytes = reinterpret_cast<const uint8_t *>(&binding);

    // Exactly as long as said, so a read beyond it is caught.
    Frame shorter(bytes, bytes + sizeof(HostBinding) - 1);
    EXPECT_TRUE(rig.host.Control(rig.HostPort(2), IOCTL_PORT_BIND, shorter.data(), ULONG(shorter.size()), nullptr, 0));
    EXPECT_TRUE(rig.Port(2)->BindPending);
    EXPECT_EQ(rig.Port(2)->HostBinding.RxIdleFlag, nullptr);
    EXPECT_EQ(rxIdle, 7u);
    EXPECT_TRUE(NewCommands().empty());

    Frame exact(bytes, bytes + sizeof(HostBinding));
    EXPECT_TRUE(rig.host.Control(rig.HostPort(2), IOCTL_PORT_BIND, exact.data(), ULONG(exact.size()), nullptr, 0));
    EXPECT_FALSE(rig.Port(2)->BindPending);
    EXPECT_EQ(std::memcmp(&rig.Port(2)->HostBinding, &binding, sizeof(HostBinding)), 0);
    EXPECT_EQ(rxIdle, 1u);  // no rings: both paths stopped at once
    EXPECT_EQ(txIdle, 1u);
    EXPECT_EQ(NewCommands(), (std::vector<Frame>{{CMD_GET_STATUS, 2}}));
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

TEST_F(PortControlTest, UnlistedRequestsAreAnsweredTrueAndDoNothing)
{
    UCHAR buffer[64] = {};
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_TIMEOUTS, buffer, sizeof(buffer)));
    EXPECT_TRUE(Control(0xDEADBEEF, buffer, sizeof(buffer), buffer, sizeof(buffer)));
    // Get requests with too little room write nothing.
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, buffer, 15));
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 4));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_TRUE(NewCommands().empty());
    EXPECT_EQ(rig.adapter->IoRefCount, 1);
}

}  // namespace
