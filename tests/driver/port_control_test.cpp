// The host's serial control requests: settings and their read-back, the
// firmware commands they send, purge, the bind, and bad input.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/command/protocol.h"
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

TEST_F(PortControlTest, LineControlAcceptsTheValidCombinationsOnly)
{
    EXPECT_TRUE(SetLine(STOP_BITS_1_5, NO_PARITY, 5));
    EXPECT_EQ(Settings()[SETTING_DATA_BITS], 5);
    EXPECT_EQ(Settings()[SETTING_STOP_CODE], 2);
    EXPECT_EQ(Settings()[SETTING_PARITY], 'n');
    SERIAL_LINE_CONTROL line = GetLine();
    EXPECT_EQ(line.StopBits, STOP_BITS_1_5);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 5);

    EXPECT_TRUE(SetLine(STOP_BITS_2, MARK_PARITY, 7));
    EXPECT_EQ(Settings()[SETTING_PARITY], '1');
    line = GetLine();
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, MARK_PARITY);
    EXPECT_EQ(line.WordLength, 7);
    EXPECT_EQ(NewCommands().size(), 2u);

    EXPECT_TRUE(SetLine(STOP_BITS_1_5, NO_PARITY, 8));
    EXPECT_TRUE(SetLine(STOP_BITS_2, NO_PARITY, 5));
    EXPECT_TRUE(SetLine(STOP_BIT_1, NO_PARITY, 4));
    EXPECT_TRUE(SetLine(STOP_BIT_1, NO_PARITY, 9));
    EXPECT_TRUE(SetLine(STOP_BIT_1, 5, 8));
    EXPECT_TRUE(SetLine(3, NO_PARITY, 8));
    EXPECT_TRUE(NewCommands().empty());
    EXPECT_EQ(GetLine().WordLength, 7);
}

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

TEST_F(PortControlTest, LineAndBreakRequestsSendTheirCommands)
{
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0));
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0));
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_DTR, nullptr, 0));
    EXPECT_TRUE(Control(IOCTL_SERIAL_CLR_DTR, nullptr, 0));
    EXPECT_TRUE(Control(IOCTL_SERIAL_SET_RTS, nullptr, 0));
    EXPECT_TRUE(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0));
    EXPECT_EQ(NewCommands(), (std::vector<Frame>{{CMD_SET_BREAK, 1, 1},
                                                 {CMD_SET_BREAK, 1, 0},
                                                 {CMD_SET_DTR, 1, 1},
                                                 {CMD_SET_DTR, 1, 0},
                                                 {CMD_SET_RTS, 1, 1},
                                                 {CMD_SET_RTS, 1, 0}}));
    EXPECT_FALSE(rig.firmware.Port(1).breakOn);
}

TEST_F(PortControlTest, ModemStatusIsReportedAndPrinted)
{
    ULONG status = 0xFFFFFFFF;
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)));
    EXPECT_EQ(status, 0u);
    rig.Port(1)->ModemStatus = 0xB0;
    EXPECT_TRUE(Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof(status)));
    EXPECT_EQ(status, 0xB0u);
    auto lines = sim::DebugLog::Get().Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Get ModemStatus 0\n");
    EXPECT_EQ(lines.back(), "Get ModemStatus b0\n");
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
