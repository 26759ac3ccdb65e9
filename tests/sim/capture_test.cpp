// The bus capture, read back byte by byte as a packet analyser would: a blank
// chip's whole arrival (download, re-enumeration, configuration), a port's
// data and the removal, each URB a submit and a completion in usbmon's
// layout, with the setup packets, data, device numbers and statuses a
// capture on a real host would show.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "driver/core/driver_entry.h"
#include "sim/adapter/main_firmware.h"
#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/host/traffic.h"
#include "sim/testbed.h"
#include "sim/usb/capture.h"
#include "tests/support/sim_test.h"

namespace {

template <typename T>
T Get(const std::vector<uint8_t> &bytes, size_t at)
{
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof(T));
    return value;
}

struct Packet {
    uint64_t id;
    char type;
    uint8_t transferType, endpoint, device;
    uint16_t bus;
    bool hasSetup;
    uint8_t setup[8];
    int32_t status;
    uint32_t length;
    uint64_t micros;  // timestamp
    std::vector<uint8_t> data;
};

// Every packet of the file, after checking the file's and each record's framing.
std::vector<Packet> ReadCapture(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GE(file.size(), 24u);
    EXPECT_EQ(Get<uint32_t>(file, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Get<uint16_t>(file, 4), 2);
    EXPECT_EQ(Get<uint16_t>(file, 6), 4);
    EXPECT_EQ(Get<uint32_t>(file, 20), 220u);
    std::vector<Packet> packets;
    size_t at = 24;
    while (at < file.size()) {
        EXPECT_LE(at + 16 + 64, file.size()) << "a record cut short";
        if (at + 16 + 64 > file.size())
            break;
        const uint32_t included = Get<uint32_t>(file, at + 8);
        EXPECT_EQ(included, Get<uint32_t>(file, at + 12));
        const size_t h = at + 16;
        Packet p{};
        p.id = Get<uint64_t>(file, h);
        p.type = char(file[h + 8]);
        p.transferType = file[h + 9];
        p.endpoint = file[h + 10];
        p.device = file[h + 11];
        p.bus = Get<uint16_t>(file, h + 12);
        p.hasSetup = file[h + 14] == 0;
        EXPECT_EQ(Get<uint32_t>(file, at), uint32_t(Get<int64_t>(file, h + 16)));
        EXPECT_EQ(Get<uint32_t>(file, at + 4), uint32_t(Get<int32_t>(file, h + 24)));
        p.micros = uint64_t(Get<int64_t>(file, h + 16)) * 1'000'000 + uint64_t(Get<int32_t>(file, h + 24));
        p.status = Get<int32_t>(file, h + 28);
        p.length = Get<uint32_t>(file, h + 32);
        const uint32_t captured = Get<uint32_t>(file, h + 36);
        std::memcpy(p.setup, &file[h + 40], 8);
        EXPECT_EQ(included, 64 + captured);
        EXPECT_EQ(file[h + 15] == 0, captured > 0) << "flag_data says data when there is none, or the reverse";
        p.data.assign(file.begin() + long(h + 64), file.begin() + long(h + 64 + captured));
        packets.push_back(std::move(p));
        at += 16 + included;
    }
    return packets;
}

class CaptureTest : public testing_support::SimTest {
protected:
    std::string Path() const { return ::testing::TempDir() + "nuvix_capture_test.pcap"; }
};

TEST_F(CaptureTest, AnAdaptersWholeLifeReadsAsAUsbmonCapture)
{
    std::string error;
    auto capture = sim::usb::Capture::Create(Path(), error);
    ASSERT_TRUE(capture) << error;
    const std::vector<uint8_t> written = {'n', 'u', 'v', 'i', 'x', 0, 1, 2, 0xFF};
    {
        sim::Testbed bed(DriverEntry, RbGetServiceTable);
        bed.pnp->OnNewBus([&](sim::usb::Bus &bus) { capture->Attach(bus); });
        auto [chip, started] = bed.PlugChip();
        ASSERT_EQ(started, STATUS_SUCCESS);
        chip.Firmware()->ConnectLoopback(1);
        sim::host::HostSerialDriver &host = *sim::Testbed::Host("NX4A0001");
        sim::host::HostPort &port = *sim::Testbed::HostPort("NX4A0001", 0);
        ASSERT_TRUE(sim::host::OpenForTraffic(host, port, 1024, 1024, sim::host::Flow::None));
        // The first write stalls; the host writes again, the bytes go again.
        chip.Firmware()->FailNextTransfer(0x01, USBD_STATUS_STALL_PID);
        EXPECT_EQ(sim::host::ShortEcho(host, port, written, sim::kTicksPerSecond), "");
        ASSERT_TRUE(host.Close(port));
        ASSERT_EQ(bed.pnp->Remove(*bed.pnp->Current(chip)).final, STATUS_SUCCESS);
    }
    EXPECT_TRUE(capture->Healthy());
    const uint64_t records = capture->Records();
    capture.reset();

    const std::vector<Packet> packets = ReadCapture(Path());
    ASSERT_EQ(packets.size(), records);
    ASSERT_GT(packets.size(), 2 * 1337u);

    // Each URB: a submit, then its completion, with the submit's transfer
    // type and endpoint; time never runs backwards; one bus.
    std::map<uint64_t, const Packet *> open;
    uint64_t last = 0;
    for (const Packet &p : packets) {
        EXPECT_EQ(p.bus, 1);
        EXPECT_GE(p.micros, last);
        last = p.micros;
        if (p.type == 'S') {
            EXPECT_EQ(p.status, -115) << "submits are -EINPROGRESS";
            EXPECT_TRUE(open.emplace(p.id, &p).second) << "a URB submitted twice without completing";
        } else {
            ASSERT_EQ(p.type, 'C');
            auto it = open.find(p.id);
            ASSERT_NE(it, open.end()) << "a completion without its submit";
            EXPECT_EQ(p.transferType, it->second->transferType);
            EXPECT_EQ(p.endpoint, it->second->endpoint);
            EXPECT_FALSE(p.hasSetup);
            open.erase(it);
        }
    }
    EXPECT_TRUE(open.empty()) << open.size() << " URBs never completed";

    // The blank chip is device 2: the driver reads its device descriptor
    // first, then downloads with vendor writes that carry their data.
    const Packet &first = packets.front();
    EXPECT_EQ(first.device, 2);
    EXPECT_EQ(first.transferType, 2);
    EXPECT_EQ(first.endpoint, 0x80);
    ASSERT_TRUE(first.hasSetup);
    EXPECT_EQ(first.setup[0], 0x80);
    EXPECT_EQ(first.setup[1], 6);
    EXPECT_EQ(first.setup[3], 1) << "GET_DESCRIPTOR(DEVICE)";
    size_t download = 0;
    bool descriptorData = false;
    for (const Packet &p : packets) {
        if (p.type == 'C' && p.device == 2 && p.transferType == 2 && p.endpoint == 0x80 && p.data.size() >= 2)
            descriptorData = descriptorData || p.data[1] == 1;
        if (p.type != 'S' || !p.hasSetup || (p.setup[1] != 0xA0 && p.setup[1] != 0xA3))
            continue;
        download++;
        EXPECT_EQ(p.device, 2);
        EXPECT_EQ(p.setup[0], 0x40);
        EXPECT_EQ(p.data.size(), size_t(p.setup[6] | p.setup[7] << 8)) << "OUT data goes with the submit";
        EXPECT_EQ(p.length, p.data.size());
    }
    EXPECT_EQ(download, 1337u);
    EXPECT_TRUE(descriptorData) << "IN data goes with the completion";

    // The adapter after re-enumeration is device 3: configuration 1 selected,
    // the port's OUT pipe reset when it opens (CLEAR_FEATURE(ENDPOINT_HALT)
    // on endpoint 1), then bulk traffic: a stalled write (-EPIPE), the port's
    // bytes out on endpoint 1 and back on 0x81, ahead of the close's echo.
    bool setConfiguration = false, clearHalt = false, stalled = false;
    std::map<uint64_t, std::vector<uint8_t>> writing;
    std::vector<uint8_t> out, in;
    for (const Packet &p : packets) {
        if (p.device != 3)
            continue;
        const uint8_t kClearHalt[8] = {0x02, 0x01, 0, 0, 0x01, 0, 0, 0};
        setConfiguration = setConfiguration || (p.hasSetup && p.setup[0] == 0 && p.setup[1] == 9 && p.setup[2] == 1);
        clearHalt = clearHalt || (p.hasSetup && std::memcmp(p.setup, kClearHalt, 8) == 0);
        if (p.transferType != 3)
            continue;
        if (p.endpoint == 0x01 && p.type == 'S')
            writing[p.id] = p.data;
        if (p.endpoint == 0x01 && p.type == 'C') {
            stalled = stalled || p.status == -32;
            if (p.status == 0)
                out.insert(out.end(), writing[p.id].begin(), writing[p.id].end());
        }
        if (p.endpoint == 0x81 && p.type == 'C')
            in.insert(in.end(), p.data.begin(), p.data.end());
    }
    EXPECT_TRUE(setConfiguration);
    EXPECT_TRUE(clearHalt);
    EXPECT_TRUE(stalled);
    EXPECT_EQ(out, written);
    ASSERT_GE(in.size(), written.size());
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + long(written.size())), written);
    unlink(Path().c_str());
}

TEST_F(CaptureTest, AFileThatCannotBeWrittenIsReported)
{
    std::string error;
    EXPECT_FALSE(sim::usb::Capture::Create("/nonexistent-directory/run.pcap", error));
    EXPECT_NE(error.find("/nonexistent-directory/run.pcap"), std::string::npos);
}

}  // namespace
