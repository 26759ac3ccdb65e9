// The adapter's main firmware on a simulated bus, driven with hand-built URBs:
// its descriptors and pipes, the command protocol and the ways it can be
// made to misbehave, and the four UARTs behind the port pipes with their
// wiring, modem lines, flow control and line timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/usb/transport.h"
#include "sim/adapter/main_firmware.h"
#include "sim/adapter/protocol.h"
#include "sim/io/io.h"
#include "sim/usb/bus.h"
#include "tests/support/bulk_request.h"
#include "tests/support/bus_configuration.h"
#include "tests/support/sim_test.h"

namespace {

using namespace sim::adapter;
using sim::usb::Bus;
using Bytes = std::vector<uint8_t>;

constexpr ULONG kReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr int64_t kMs = sim::kTicksPerMillisecond;

Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

// kSetup at this rate with these handshake bits, 8N1 and no XON/XOFF unless told.
Bytes SetupFrame(int port, uint32_t baud, uint8_t handshake, Framing f = {}, char flow = 'n')
{
    return {wire::kSetup,
            uint8_t(port),
            uint8_t(baud),
            uint8_t(baud >> 8),
            uint8_t(baud >> 16),
            uint8_t(baud >> 24),
            f.dataBits,
            f.stopCode,
            uint8_t(f.parity),
            uint8_t(flow),
            0x13,
            0x11,
            handshake,
            0};
}

Bytes Done(int port) { return {wire::kDone, 0x00, uint8_t(port)}; }
Bytes Event(int port, uint8_t msr) { return {wire::kEvent, uint8_t(port), 0x01, msr}; }

LONGLONG Now() { return static_cast<LONGLONG>(KeQueryInterruptTime()); }

class MainFirmwareTest : public testing_support::SimTest {
protected:
    void SetUp() override { Configure(); }

    // The bus's device object must be gone before the pool check; the model
    // outlives its bus.
    void TearDown() override
    {
        bus_.reset();
        owned_.reset();
        SimTest::TearDown();
    }

    void Configure()
    {
        pipes_ =
            testing_support::SelectWholeConfiguration([this](PURB urb) { return SubmitUrbSync(bus_->Pdo(), urb); });
    }

    USBD_PIPE_HANDLE PipeFor(uint8_t endpoint) { return testing_support::PipeHandleFor(pipes_, endpoint); }

    Bytes Descriptor(uint8_t type, uint8_t index, uint16_t language)
    {
        Bytes buffer(255);
        URB urb;
        BuildDescriptorRequest(&urb, type, index, language, buffer.data(), ULONG(buffer.size()));
        EXPECT_EQ(SubmitUrbSync(bus_->Pdo(), &urb), STATUS_SUCCESS);
        buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
        return buffer;
    }

    // One bulk transfer, waited for; data holds what an IN transfer read.
    USBD_STATUS Bulk(uint8_t endpoint, ULONG flags, Bytes &data)
    {
        testing_support::BulkRequest transfer(bus_->Pdo(), PipeFor(endpoint), flags, data);
        transfer.Start();
        transfer.Wait();
        data = transfer.Data();
        return transfer.UrbStatus();
    }

    USBD_STATUS Write(uint8_t endpoint, Bytes data) { return Bulk(endpoint, USBD_TRANSFER_DIRECTION_OUT, data); }
    void Command(Bytes frame) { EXPECT_EQ(Write(kCommandOut, std::move(frame)), USBD_STATUS_SUCCESS); }

    // Waits (in kernel time) for the next IN transfer's data.
    Bytes Read(uint8_t endpoint)
    {
        Bytes data(64);
        EXPECT_EQ(Bulk(endpoint, kReadFlags, data), USBD_STATUS_SUCCESS);
        return data;
    }
    Bytes Response() { return Read(kCommandIn); }
    Bytes ReadAll(int port, size_t n)
    {
        Bytes all;
        while (all.size() < n) {
            Bytes part = Read(PortIn(port));
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    std::unique_ptr<testing_support::BulkRequest> StartWrite(uint8_t endpoint, Bytes data)
    {
        auto write = std::make_unique<testing_support::BulkRequest>(bus_->Pdo(), PipeFor(endpoint),
                                                                    USBD_TRANSFER_DIRECTION_OUT, std::move(data));
        write->Start();
        return write;
    }

    std::unique_ptr<MainFirmware> owned_ = std::make_unique<MainFirmware>();
    MainFirmware &firmware_ = *owned_;
    std::unique_ptr<Bus> bus_ = std::make_unique<Bus>(firmware_);
    std::vector<USBD_PIPE_INFORMATION> pipes_;
};

TEST_F(MainFirmwareTest, DescribesTheRunningAdapterWithTenBulkPipes)
{
    Bytes device = Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[8] | device[9] << 8, kVendorId);
    EXPECT_EQ(device[10] | device[11] << 8, kProductRunning);
    EXPECT_TRUE(device[11] & 0x80);
    EXPECT_EQ(device[16], 3);  // iSerialNumber

    Bytes config = Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
    ASSERT_EQ(config.size(), 9u + 9u + 10u * 7u);
    EXPECT_EQ(config[2] | config[3] << 8, int(config.size()));
    EXPECT_EQ(config[4], 1);      // one interface
    EXPECT_EQ(config[5], 1);      // configuration value
    EXPECT_EQ(config[9 + 2], 0);  // interface 0
    EXPECT_EQ(config[9 + 4], 10);
    const Bytes order = {0x81, 0x01, 0x82, 0x02, 0x83, 0x03, 0x84, 0x04, 0x85, 0x05};
    for (size_t i = 0; i < order.size(); i++) {
        const uint8_t *endpoint = &config[18 + 7 * i];
        EXPECT_EQ(endpoint[1], USB_ENDPOINT_DESCRIPTOR_TYPE);
        EXPECT_EQ(endpoint[2], order[i]);
        EXPECT_EQ(endpoint[3], USB_ENDPOINT_TYPE_BULK);
        EXPECT_EQ(endpoint[4] | endpoint[5] << 8, 64);
    }

    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0), (Bytes{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}));
    Bytes serial = {18, USB_STRING_DESCRIPTOR_TYPE};
    for (char c : std::string("NX4A0001"))
        serial.insert(serial.end(), {uint8_t(c), 0});
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409), serial);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 3, 0x0407), serial);

    // The selection made in SetUp.
    EXPECT_EQ(firmware_.Configuration(), 1);
    ASSERT_EQ(pipes_.size(), order.size());
    for (size_t i = 0; i < order.size(); i++) {
        EXPECT_EQ(pipes_[i].EndpointAddress, order[i]);
        EXPECT_EQ(pipes_[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(pipes_[i].MaximumPacketSize, 64);
    }
}

TEST_F(MainFirmwareTest, AnswersEachPortCommandAndKeepsThePortState)
{
    const Bytes setup = {wire::kSetup, 2, 0x00, 0xC2, 0x01, 0x00, 7, 2, 'e', 'b', 0x13, 0x11, 0x88, 0};
    const std::vector<Bytes> sent = {{wire::kOpen, 2},        setup,
                                     {wire::kSetRts, 2, 1},   {wire::kSetDtr, 2, 1},
                                     {wire::kSetBreak, 2, 1}, {wire::kNoOp, 2}};
    for (const Bytes &frame : sent) {
        Command(frame);
        EXPECT_EQ(Response(), Done(2)) << "command " << int(frame[0]);
    }
    PortState port = firmware_.Port(2);
    EXPECT_TRUE(port.open);
    EXPECT_TRUE(port.rts);
    EXPECT_TRUE(port.dtr);
    EXPECT_TRUE(port.breakOn);
    EXPECT_TRUE(std::equal(setup.begin() + 1, setup.end(), port.setup.begin()));
    EXPECT_EQ(port.line.baud, 115200u);
    EXPECT_EQ(port.line.dataBits, 7);
    EXPECT_EQ(port.line.stopCode, 2);
    EXPECT_EQ(port.line.parity, 'e');
    EXPECT_EQ(port.line.softwareFlow, 'b');
    EXPECT_EQ(port.line.handshake, 0x88);

    Command({wire::kGetStatus, 2});
    EXPECT_EQ(Response(), (Bytes{wire::kStatus, 2, 0x01, 0, 0, 0, 0}));  // nothing attached
    Command({wire::kClose, 2});
    EXPECT_EQ(Response(), Done(2));
    EXPECT_FALSE(firmware_.Port(2).open);
    EXPECT_EQ(firmware_.Port(2).commands, 8);
    EXPECT_EQ(firmware_.Commands().size(), 8u);
    EXPECT_EQ(firmware_.Commands()[1], setup);
}

TEST_F(MainFirmwareTest, EchoIsOneTransferOnThePortPipeBehindWaitingData)
{
    firmware_.ConnectEndpoint(2);
    firmware_.Inject(2, Text("abc"));
    Command({wire::kEcho, 2, 5, 'h', 'e', 'l', 'l', 'o'});
    firmware_.Inject(2, Text("xyz"));
    Command({wire::kGetStatus, 2});
    EXPECT_EQ(Response()[0], wire::kStatus);  // the echo had no answer of its own
    EXPECT_EQ(Read(PortIn(2)), Text("abc"));
    EXPECT_EQ(Read(PortIn(2)), Text("hello"));
    EXPECT_EQ(Read(PortIn(2)), Text("xyz"));
    EXPECT_EQ(firmware_.Port(2).bytesReceived, 6u);
}

TEST_F(MainFirmwareTest, GetInfoReturnsTheInformationBlock)
{
    Bytes frame(35, 0);  // code, port and padding: the longest frame a host sends
    frame[0] = wire::kGetInfo;
    frame[1] = 1;
    Command(frame);
    Bytes answer = Response();
    ASSERT_EQ(answer.size(), 36u);
    EXPECT_EQ(answer[0], wire::kInfo);
    auto block = firmware_.InfoBlock();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), answer.begin() + 1));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block.data()), 17), "NX4 main firmware");

    std::array<uint8_t, 35> mine{};
    for (size_t i = 0; i < mine.size(); i++)
        mine[i] = uint8_t(0xA0 + i);
    firmware_.SetInfoBlock(mine);
    Command(frame);
    answer = Response();
    EXPECT_TRUE(std::equal(mine.begin(), mine.end(), answer.begin() + 1));
}

TEST_F(MainFirmwareTest, UnknownCodesAndPortsAreRecordedButNotAnswered)
{
    Command({0x30, 1, 9});
    Command({wire::kOpen, 0});
    Command({wire::kOpen, 5});
    Command({wire::kOpen, 1});
    EXPECT_EQ(Response(), Done(1));  // the first answer is the last command's
    EXPECT_EQ(firmware_.Commands().size(), 4u);
    EXPECT_EQ(firmware_.Port(1).commands, 2);
}

template <typename Row>
class Rows : public MainFirmwareTest, public testing::WithParamInterface<Row> {
};

// The wrong-port, garbage and short modes bend every answer, each its way.
struct AnswerRow {
    AnswerMode mode;
    Bytes command, answer;
};
using BentAnswerTest = Rows<AnswerRow>;
TEST_P(BentAnswerTest, TheModeBendsTheAnswer)
{
    firmware_.SetAnswerMode(GetParam().mode);
    Command(GetParam().command);
    EXPECT_EQ(Response(), GetParam().answer);
}
INSTANTIATE_TEST_SUITE_P(
    Modes, BentAnswerTest,
    testing::Values(AnswerRow{AnswerMode::WrongPort, {wire::kOpen, 4}, Done(1)},
                    AnswerRow{AnswerMode::WrongPort, {wire::kGetStatus, 2}, {wire::kStatus, 3, 0x01, 0, 0, 0, 0}},
                    AnswerRow{AnswerMode::Garbage, {wire::kSetDtr, 1, 1}, {0x7E, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                    AnswerRow{AnswerMode::Short, {wire::kGetStatus, 1}, {wire::kStatus}},
                    AnswerRow{AnswerMode::Short, {wire::kSetDtr, 1, 0}, {wire::kDone}}));

TEST_F(MainFirmwareTest, SilentModeAnswersNothingButEchoDataFlows)
{
    firmware_.SetAnswerMode(AnswerMode::Silent);
    Command({wire::kOpen, 1});
    Command({wire::kEcho, 1, 2, 'o', 'k'});
    EXPECT_EQ(Read(PortIn(1)), Text("ok"));
    firmware_.SendResponse({0x42, 1});  // unsolicited frames still go out
    firmware_.SetAnswerMode(AnswerMode::Normal);
    Command({wire::kClose, 1});
    EXPECT_EQ(Response(), (Bytes{0x42, 1}));
    EXPECT_EQ(Response(), Done(1));
}

TEST_F(MainFirmwareTest, LateModeAnswersAfterTheDelayInKernelTime)
{
    firmware_.SetAnswerMode(AnswerMode::Late, 250 * kMs);
    const LONGLONG start = Now();
    Command({wire::kOpen, 3});
    Command({wire::kGetStatus, 3});
    EXPECT_EQ(Now(), start);
    EXPECT_EQ(Response(), Done(3));
    EXPECT_EQ(Now() - start, 250 * kMs);
    EXPECT_EQ(Response()[0], wire::kStatus);
    EXPECT_EQ(Now() - start, 250 * kMs);
}

TEST_F(MainFirmwareTest, AdapterStatusAndRawFramesGoOutAsGiven)
{
    std::array<uint8_t, 19> block{};
    for (size_t i = 0; i < block.size(); i++)
        block[i] = uint8_t(i + 1);
    firmware_.SendAdapterStatus(block);
    firmware_.SendResponse({0xEE});
    Bytes expected = {wire::kAdapterStatus};
    expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_EQ(Response(), expected);
    EXPECT_EQ(Response(), (Bytes{0xEE}));
}

TEST_F(MainFirmwareTest, FailNextTransferFailsOneTransferInEitherDirection)
{
    firmware_.FailNextTransfer(kCommandOut, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Write(kCommandOut, {wire::kOpen, 1}), USBD_STATUS_STALL_PID);
    EXPECT_TRUE(firmware_.Commands().empty());
    Command({wire::kOpen, 1});

    firmware_.FailNextTransfer(kCommandIn, USBD_STATUS_DEV_NOT_RESPONDING);
    Bytes data(64);
    EXPECT_EQ(Bulk(kCommandIn, kReadFlags, data), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Response(), Done(1));  // the frame was not lost

    // A read already waiting for data is the one that fails.
    testing_support::BulkRequest read(bus_->Pdo(), PipeFor(PortIn(1)), kReadFlags, Bytes(64));
    read.Start();
    bus_->Drain();
    EXPECT_FALSE(read.Done());
    firmware_.FailNextTransfer(PortIn(1), USBD_STATUS_DEV_NOT_RESPONDING);
    read.Wait();
    EXPECT_EQ(read.UrbStatus(), USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_F(MainFirmwareTest, HeldEndpointMakesTransfersWait)
{
    firmware_.ConnectEndpoint(1);
    firmware_.HoldEndpoint(PortOut(1), true);
    auto write = StartWrite(PortOut(1), Text("later"));
    bus_->Drain();
    EXPECT_FALSE(write->Done());
    EXPECT_EQ(bus_->PendingTransfers(), 1u);
    firmware_.HoldEndpoint(PortOut(1), false);
    write->Wait();
    EXPECT_EQ(write->UrbStatus(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.TakeTransmitted(1), Text("later"));
}

TEST_F(MainFirmwareTest, LoopbackReturnsDataAndReportsItsOwnModemLines)
{
    bus_->SetCompletionMode(sim::usb::CompletionMode::Inline);
    firmware_.ConnectLoopback(1);
    Command({wire::kOpen, 1});
    EXPECT_EQ(Response(), Done(1));
    Command({wire::kSetRts, 1, 1});
    EXPECT_EQ(Response(), Event(1, kMsrCts));
    EXPECT_EQ(Response(), Done(1));
    Command({wire::kSetDtr, 1, 1});
    EXPECT_EQ(Response(), Event(1, kMsrCts | kMsrDsr | kMsrDcd));
    EXPECT_EQ(Response(), Done(1));

    EXPECT_EQ(Write(PortOut(1), Text("around the plug")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Read(PortIn(1)), Text("around the plug"));
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 15u);
    EXPECT_EQ(firmware_.Port(1).bytesReceived, 15u);
}

TEST_F(MainFirmwareTest, NullModemCarriesDataAndLinesBothWays)
{
    firmware_.ConnectNullModem(1, 3);
    Command({wire::kOpen, 3});
    EXPECT_EQ(Response(), Done(3));
    Command({wire::kSetDtr, 1, 1});  // port 1 is closed: only port 3 reports
    EXPECT_EQ(Response(), Event(3, kMsrDsr | kMsrDcd));
    EXPECT_EQ(Response(), Done(1));
    Command({wire::kSetRts, 3, 1});
    EXPECT_EQ(Response(), Done(3));
    EXPECT_EQ(firmware_.Port(1).modemStatus, kMsrCts);

    EXPECT_EQ(Write(PortOut(1), Text("one to three")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Write(PortOut(3), Text("three to one")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Read(PortIn(3)), Text("one to three"));
    EXPECT_EQ(Read(PortIn(1)), Text("three to one"));
}

TEST_F(MainFirmwareTest, EndpointPeerReadsAndDrivesTheUart)
{
    firmware_.ConnectEndpoint(4);
    Command({wire::kOpen, 4});
    EXPECT_EQ(Response(), Done(4));
    firmware_.SetPeerLines(4, kMsrDcd | kMsrRing);
    EXPECT_EQ(Response(), Event(4, kMsrDcd | kMsrRing));
    EXPECT_EQ(Write(PortOut(4), Text("out")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.TakeTransmitted(4), Text("out"));
    firmware_.Inject(4, Text("in"));
    EXPECT_EQ(Read(PortIn(4)), Text("in"));

    // An endpoint that does not read holds the line; what it takes frees it.
    firmware_.SetReceiveCapacity(16);
    EXPECT_EQ(Write(PortOut(4), Pattern(16, 1)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Write(PortOut(4), Pattern(16, 2)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(4).bytesTransmitted, 3u + 16u);
    EXPECT_EQ(firmware_.TakeTransmitted(4), Pattern(16, 1));
    EXPECT_EQ(firmware_.TakeTransmitted(4), Pattern(16, 2));
}

TEST_F(MainFirmwareTest, CtsHandshakeHoldsDataAndAPipeResetKeepsIt)
{
    firmware_.ConnectEndpoint(1);
    Command(SetupFrame(1, 9600, 0x08));
    EXPECT_EQ(Response(), Done(1));
    EXPECT_EQ(Write(PortOut(1), Text("keep")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 0u);

    URB reset;
    std::memset(&reset, 0, sizeof(reset));
    USBD_PIPE_INFORMATION pipe{};
    pipe.PipeHandle = PipeFor(PortOut(1));
    BuildPipeReset(&reset, &pipe);
    EXPECT_EQ(SubmitUrbSync(bus_->Pdo(), &reset), STATUS_SUCCESS);
    EXPECT_EQ(firmware_.ResetCount(PortOut(1)), 1);

    firmware_.SetPeerLines(1, kMsrCts);
    EXPECT_EQ(firmware_.TakeTransmitted(1), Text("keep"));
}

TEST_F(MainFirmwareTest, RtsCtsFlowControlHoldsTheSenderInsteadOfLosingData)
{
    firmware_.SetReceiveCapacity(256);
    firmware_.ConnectNullModem(1, 2);
    Command(SetupFrame(1, 9600, 0x88));
    Command(SetupFrame(2, 9600, 0x88));
    const Bytes first = Pattern(256, 0), second = Pattern(192, 100), third = Pattern(64, 200);
    EXPECT_EQ(Write(PortOut(1), first), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Write(PortOut(1), second), USBD_STATUS_SUCCESS);
    auto blocked = StartWrite(PortOut(1), third);
    bus_->Drain();
    EXPECT_FALSE(blocked->Done());  // the transmit FIFO is full: the write is NAKed
    EXPECT_EQ(bus_->PendingTransfers(), 1u);
    EXPECT_FALSE(firmware_.Port(2).rts);
    EXPECT_EQ(firmware_.Port(1).modemStatus & kMsrCts, 0);
    EXPECT_EQ(firmware_.Port(2).bytesReceived, 192u);  // stopped at 3/4

    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(ReadAll(2, expected.size()), expected);
    blocked->Wait();
    EXPECT_EQ(blocked->UrbStatus(), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(2).bytesLost, 0u);
    EXPECT_TRUE(firmware_.Port(2).rts);
}

TEST_F(MainFirmwareTest, WithoutFlowControlAFullReceiverOverruns)
{
    firmware_.SetReceiveCapacity(256);
    firmware_.ConnectNullModem(1, 2);
    Command(SetupFrame(1, 9600, 0));
    Command(SetupFrame(2, 9600, 0));
    Command({wire::kOpen, 2});
    EXPECT_EQ(Write(PortOut(1), Pattern(256, 0)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Write(PortOut(1), Pattern(256, 9)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 512u);
    EXPECT_EQ(firmware_.Port(2).bytesReceived, 256u);
    EXPECT_EQ(firmware_.Port(2).bytesLost, 256u);
    for (int port : {1, 2, 2}) {
        EXPECT_EQ(Response(), Done(port));
    }
    // The open port hears of the overrun once: nobody read in between.
    EXPECT_EQ(Response(), (Bytes{wire::kEvent, 2, wire::kLineStatusEvent, kLsrOverrun}));
    EXPECT_EQ(ReadAll(2, 256), Pattern(256, 0));
}

TEST_F(MainFirmwareTest, PacedLineTakesTenBitTimesPerCharacter)
{
    firmware_.ConnectLoopback(1);
    Command(SetupFrame(1, 9600, 0));
    firmware_.SetPacing(true);
    const LONGLONG start = Now();
    const Bytes data = Pattern(1000, 3);
    EXPECT_EQ(Write(PortOut(1), data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 0u);

    // 64 characters of 10 bits at 9600 baud, then the rest back to back:
    // 1000 characters end at 1000 * 10 / 9600 s, rounded up to a tick.
    EXPECT_EQ(Read(PortIn(1)), Pattern(64, 3));
    EXPECT_EQ(Now() - start, 666'667);
    Bytes rest = ReadAll(1, 1000 - 64);
    EXPECT_EQ(Now() - start, 10'416'667);
    rest.insert(rest.begin(), data.begin(), data.begin() + 64);
    EXPECT_EQ(rest, data);
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 1000u);
}

// Work the model left with the bus does nothing once the model is gone.
TEST_F(MainFirmwareTest, ScheduledWorkOutlivingTheModelDoesNothing)
{
    firmware_.ConnectLoopback(1);
    Command(SetupFrame(1, 9600, 0));
    firmware_.SetPacing(true);
    firmware_.SetAnswerMode(AnswerMode::Late, 100 * kMs);
    Command({wire::kOpen, 1});
    EXPECT_EQ(Write(PortOut(1), Pattern(100, 0)), USBD_STATUS_SUCCESS);
    owned_.reset();
    LARGE_INTEGER second;
    second.QuadPart = -sim::kTicksPerSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    bus_->Drain();
}

// --- the lines as a strict witness, in the model's own terms (wire::, kLsr*)

// Port 1 sends to port 2 on a null-modem cable, each framing as it is set.
struct FramingRow {
    Framing sender, receiver;
    Bytes written, received;
    uint8_t lineStatus;
};
using FramingTest = Rows<FramingRow>;
TEST_P(FramingTest, TheReceiverDecodesWithItsOwnSettings)
{
    firmware_.ConnectNullModem(1, 2);
    Command(SetupFrame(1, 9600, 0, GetParam().sender));
    Command(SetupFrame(2, 9600, 0, GetParam().receiver));
    EXPECT_EQ(Write(PortOut(1), GetParam().written), USBD_STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(2, GetParam().received.size()), GetParam().received);
    EXPECT_EQ(firmware_.Port(2).lineStatus, GetParam().lineStatus);
}
constexpr Framing k8N1{8, 'n', 1}, k7E1{7, 'e', 1};
INSTANTIATE_TEST_SUITE_P(
    Pairs, FramingTest,
    testing::Values(FramingRow{k8N1, k8N1, {0x41, 0xC1}, {0x41, 0xC1}, 0},
                    FramingRow{k7E1, k7E1, {0xC1, 0x43}, {0x41, 0x43}, 0},                   // masked to 7 bits
                    FramingRow{k7E1, k8N1, {0x41, 0x43}, {0x41, 0xC3}, 0},                   // parity read as bit 7
                    FramingRow{k8N1, k7E1, {0x41, 0xC1}, {0x41, 0x41}, kLsrParity},          // bit 7 read as parity
                    FramingRow{k8N1, {7, 'n', 1}, {0xC1, 0x41}, {0x41, 0x41}, kLsrFraming},  // bit 7 read as stop
                    FramingRow{{8, 'o', 1}, {8, 'e', 1}, {0x41}, {0x41}, kLsrParity},
                    FramingRow{{8, '1', 1}, {8, '0', 2}, {0x00, 0xFF}, {0x00, 0xFF}, kLsrParity},
                    FramingRow{{5, 'n', 1}, k8N1, {0x41}, {0xE1}, 0}));  // idle mark as the high bits

// Break on holds port 1's transmitter and the peer (1 to 1 is a loopback
// plug) sees it; off, the data goes.
using BreakTest = Rows<int>;
TEST_P(BreakTest, BreakHoldsTheLineAtSpace)
{
    firmware_.ConnectNullModem(1, GetParam());
    Command({wire::kSetBreak, 1, 1});
    EXPECT_EQ(Write(PortOut(1), Text("ab")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.Port(1).bytesTransmitted, 0u);
    EXPECT_EQ(firmware_.Port(GetParam()).lineStatus, kLsrBreak);
    Command({wire::kSetBreak, 1, 0});
    EXPECT_EQ(ReadAll(GetParam(), 2), Text("ab"));
}
INSTANTIATE_TEST_SUITE_P(Peers, BreakTest, testing::Values(1, 3));

// Flow control on port 1 against the test's endpoint, room for 8 (the marks
// at 6 and 2): the far end sends XOFF and 'x', "ab" is written, the far end
// sends XON and raises DSR; then six characters come that the host drains.
// Columns: what of "ab" went while held and after; what the host got of
// XOFF, 'x', XON; what the UART sent at the marks; DTR at 6 and drained.
struct FlowRow {
    char flow;
    uint8_t handshake;
    Bytes whileHeld, afterRelease, host, sentAtMarks;
    std::vector<bool> dtr;
};
using FlowTest = Rows<FlowRow>;
TEST_P(FlowTest, EachDirectionAndHandshakeAsTheSetupSays)
{
    const FlowRow &row = GetParam();
    firmware_.SetReceiveCapacity(8);
    firmware_.ConnectEndpoint(1);
    Command(SetupFrame(1, 9600, row.handshake, k8N1, row.flow));
    firmware_.Inject(1, {0x13, 'x'});
    EXPECT_EQ(Write(PortOut(1), Text("ab")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(firmware_.TakeTransmitted(1), row.whileHeld);
    firmware_.Inject(1, {0x11});
    firmware_.SetPeerLines(1, kMsrDsr);
    EXPECT_EQ(firmware_.TakeTransmitted(1), row.afterRelease);
    EXPECT_EQ(ReadAll(1, row.host.size()), row.host);
    firmware_.Inject(1, Text("012345"));
    std::vector<bool> dtr{firmware_.Port(1).dtr};
    EXPECT_EQ(ReadAll(1, 6), Text("012345"));
    dtr.push_back(firmware_.Port(1).dtr);
    EXPECT_EQ(firmware_.TakeTransmitted(1), row.sentAtMarks);
    EXPECT_EQ(dtr, row.dtr);
}
INSTANTIATE_TEST_SUITE_P(Modes, FlowTest,
                         testing::Values(FlowRow{'n', 0, Text("ab"), {}, {0x13, 'x', 0x11}, {}, {0, 0}},
                                         FlowRow{'t', 0, {}, Text("ab"), {'x'}, {}, {0, 0}},
                                         FlowRow{'r', 0, Text("ab"), {}, {0x13, 'x', 0x11}, {0x13, 0x11}, {0, 0}},
                                         FlowRow{'b', 0, {}, Text("ab"), {'x'}, {0x13, 0x11}, {0, 0}},
                                         FlowRow{'n', 0x10, {}, Text("ab"), {0x13, 'x', 0x11}, {}, {0, 0}},
                                         FlowRow{'n', 0x02, Text("ab"), {}, {0x13, 'x', 0x11}, {}, {0, 1}}));

}  // namespace
