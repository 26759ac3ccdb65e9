// What the world sends that an ordinary life does not: serial numbers that
// nest, collide or hold characters no name may carry; port data shaped like
// the driver's own close marker; a download whose transfers fail; a removal
// while a diagnostic request waits for an answer that cannot come.
#include <atomic>
#include <map>

#include "driver/diag/control_device.h"
#include "driver/firmware/download.h"
#include "sim/io/io.h"
#include "sim/user/device_file.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace {

using testing_support::LifecycleTest;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kMillisecond = sim::kTicksPerMillisecond;
constexpr int64_t kSecond = sim::kTicksPerSecond;

class WorldInputsTest : public LifecycleTest {
protected:
    static sim::adapter::MainFirmware &Firmware(sim::pnp::Device &device)
    {
        return static_cast<sim::adapter::MainFirmware &>(device.Model());
    }
    // Opens and binds a port through the adapter's own host serial driver.
    static sim::host::HostPort &Open(const std::string &serial, int index)
    {
        sim::host::HostPort &port = *HostPort(serial, index);
        EXPECT_TRUE(Host(serial)->Open(port)) << serial << " port " << index;
        EXPECT_TRUE(Host(serial)->Bind(port, 1024, 1024)) << serial << " port " << index;
        return port;
    }
    // Bytes the UART sends to its far end, gathered until `count` are there.
    static Bytes Transmitted(sim::adapter::MainFirmware &firmware, int port, size_t count)
    {
        Bytes sent;
        for (int i = 0; i < 200 && sent.size() < count; i++) {
            Bytes more = firmware.TakeTransmitted(port);
            sent.insert(sent.end(), more.begin(), more.end());
            if (sent.size() < count)
                Pause(kMillisecond);
        }
        return sent;
    }
};

// Serial numbers that are prefixes of each other: every host port moves
// data through its own adapter's UART and no other, both ways.
TEST_F(WorldInputsTest, NestingSerialNumbersEachMoveDataOnlyThroughTheirOwnUarts)
{
    const std::vector<std::string> serials = {"AB", "AB1", "A", "A-3", "PX1", "PX12"};
    std::map<std::string, sim::pnp::Device *> devices;
    for (const std::string &serial : serials) {
        devices[serial] = &PlugAdapter(serial);
        for (int port = 1; port <= 4; port++)
            Firmware(*devices[serial]).ConnectEndpoint(port);
    }
    auto tag = [](const std::string &serial, int index) {
        std::string text = serial + "/" + std::to_string(index);
        return Bytes(text.begin(), text.end());
    };
    for (const std::string &serial : serials)
        for (int index = 0; index < 4; index++) {
            sim::host::HostPort &port = Open(serial, index);
            Bytes out = tag(serial, index);
            EXPECT_EQ(Host(serial)->Write(port, out.data(), out.size()), out.size());
        }
    for (const std::string &serial : serials)
        for (int index = 0; index < 4; index++) {
            sim::adapter::MainFirmware &firmware = Firmware(*devices[serial]);
            EXPECT_EQ(Transmitted(firmware, index + 1, tag(serial, index).size()), tag(serial, index))
                << serial << " port " << index;
            firmware.Inject(index + 1, tag(serial, index));
        }
    for (const std::string &serial : serials)
        for (int index = 0; index < 4; index++) {
            sim::host::HostPort &port = *HostPort(serial, index);
            Bytes in(64);
            Bytes expected = tag(serial, index);
            ASSERT_TRUE(Host(serial)->WaitReadable(port, kSecond)) << serial << " port " << index;
            in.resize(Host(serial)->Read(port, in.data(), in.size()));
            EXPECT_EQ(in, expected) << serial << " port " << index;
            EXPECT_TRUE(Host(serial)->Close(port));
            EXPECT_EQ(Firmware(*devices[serial]).Port(index + 1).bytesTransmitted, expected.size());
        }
}

// A serial number is made safe for the names built from it: no object name
// gains a separator, the enumeration id stays one id, and the adapter works
// under the safe name. Two serial numbers that come to the same name (or
// differ in case only, as names compare) are two adapters the platform
// cannot tell apart: the second is refused and the first keeps working.
TEST_F(WorldInputsTest, SerialNumbersAreMadeSafeForNamesAndNamesNeverCollide)
{
    struct Shape {
        std::string serial;
        std::string safe;
    } shapes[] = {
        {"AB\\CD", "AB_CD"},
        {"\\X1", "_X1"},
        {"..\\..\\Z", ".._.._Z"},
        {"Z9\\", "Z9_"},
        {"A B", "A_B"},
        {"a,b", "a_b"},
        {"\x01X\x7F", "_X_"},
        {"\xE9t\xE9", "_t_"},
        {"<>|\"*?/:.", "<>|\"*?/:."},
        {std::string(32, '\\'), std::string(32, '_')},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.safe);
        sim::pnp::Device &device = PlugAdapter(shape.serial);
        EXPECT_STREQ(Adapter(device)->SerialNumber, shape.safe.c_str());
        for (PDEVICE_OBJECT object : sim::io::LiveDevices()) {
            std::string name = sim::io::DeviceName(object);
            EXPECT_TRUE(name.empty() || std::count(name.begin(), name.end(), '\\') == 2) << name;
        }
        EXPECT_TRUE(sim::pnp::ConfigManager::Get().Find("Belmorin\\NUVIX4\\DEV_" + shape.safe));
        ASSERT_NE(Host(shape.safe), nullptr);
        EXPECT_TRUE(Host(shape.safe)->Close(Open(shape.safe, 3)));
        EXPECT_FALSE(pnp->Remove(device).Refused());
    }

    const std::pair<std::string, std::string> pairs[] = {{"AB\\CD", "AB,CD"}, {"ab1", "AB1"}, {"Q-1", "Q-1"}};
    for (const auto &[first, second] : pairs) {
        SCOPED_TRACE(first + " and " + second);
        sim::pnp::Device &kept = PlugAdapter(first);
        sim::pnp::Device &refused = PlugAdapter(second, STATUS_OBJECT_NAME_COLLISION);
        EXPECT_NE(refused.State(), sim::pnp::DeviceState::Started);
        std::string safe = Adapter(kept)->SerialNumber;
        Firmware(kept).ConnectLoopback(2);
        sim::host::HostPort &port = Open(safe, 1);
        const uint8_t byte = 0x5A;
        EXPECT_EQ(Host(safe)->Write(port, &byte, 1), 1u);
        uint8_t back = 0;
        ASSERT_TRUE(Host(safe)->WaitReadable(port, kSecond));
        EXPECT_EQ(Host(safe)->Read(port, &back, 1), 1u);
        EXPECT_EQ(back, byte);
        EXPECT_TRUE(Host(safe)->Close(port));
        EXPECT_FALSE(pnp->Remove(kept).Refused());
    }
    EXPECT_EQ(AdapterTable.Count, 0u);
}

// The far end sends 4-byte frames shaped like a close marker ("B", a
// sequence number, "G") all the time, also while the host closes and opens
// the port again. Every open succeeds; each session reads whole frames in
// order with no gap (the frames between sessions are what the close drains)
// and nothing the far end did not send.
TEST_F(WorldInputsTest, DataShapedLikeTheCloseMarkerNeitherEndsADrainNorReachesTheHostAsData)
{
    sim::pnp::Device &device = PlugAdapter("MK1");
    sim::adapter::MainFirmware &firmware = Firmware(device);
    firmware.ConnectEndpoint(1);
    sim::host::HostSerialDriver &host = *Host("MK1");
    sim::host::HostPort &port = *HostPort("MK1", 0);

    std::atomic<bool> stop{false};
    std::atomic<unsigned> frames{0};
    sim::Thread farEnd("far end", [&] {
        while (!stop) {
            unsigned seq = frames++;
            firmware.Inject(1, {'B', uint8_t(seq >> 8), uint8_t(seq), 'G'});
            Pause(kMillisecond);
        }
    });
    // One session: open, read a while, close; false at the first fault, so
    // the far end is always stopped and joined.
    int last = -1;
    auto session = [&]() -> bool {
        if (!host.Open(port) || !host.Bind(port, 1024, 1024))
            return false;
        Bytes read;
        for (int wait = 0; wait < 20 && read.size() < 16; wait++) {
            uint8_t buffer[256];
            read.insert(read.end(), buffer, buffer + host.Read(port, buffer, sizeof(buffer)));
            Pause(kMillisecond);
        }
        if (!host.Close(port) || read.size() % 4 != 0)
            return false;
        for (size_t i = 0; i < read.size(); i += 4) {
            int seq = read[i + 1] << 8 | read[i + 2];
            // A frame the far end sent; the first of a session after the last
            // one read, and the others one after the other.
            if (read[i] != 'B' || read[i + 3] != 'G' || (i == 0 ? seq <= last : seq != last + 1))
                return false;
            last = seq;
        }
        return true;
    };
    int cycle = 0;
    while (cycle < 200 && session())
        cycle++;
    EXPECT_EQ(cycle, 200) << "an open failed, or a session lost, repeated or added bytes (last frame " << last << ")";
    stop = true;
    farEnd.Join();
    EXPECT_GT(last, 200);
    EXPECT_EQ(firmware.Port(1).bytesLost, 0u);
}

// Download transfers lost on the way. One lost request costs a pass, which is
// tried again; requests lost for good fail the start after the last attempt,
// with the transfer's status, the passes counted, and the Plug and Play
// manager's device left failed. The chip plugged in again works.
TEST_F(WorldInputsTest, AFailedDownloadFailsTheStartAndAFreshPlugWorks)
{
    struct Row {
        uint64_t first;
        uint64_t count;
        bool starts;
    } rows[] = {{1, 1, true}, {700, 1, true}, {1337, 1, true}, {1, UINT64_MAX, false}, {900, UINT64_MAX, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE("from request " + std::to_string(row.first));
        ErrorStats[ERROR_STAT_DOWNLOAD_FAILED] = 0;
        models.push_back(std::make_unique<sim::chip::EzUsbChip>());
        auto &flaky = static_cast<sim::chip::EzUsbChip &>(*models.back());
        flaky.FailVendorRequests(row.first, row.count);
        sim::pnp::PlugResult result = sim::pnp::PlugChip(*pnp, flaky);
        if (row.starts) {
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(ErrorStats[ERROR_STAT_DOWNLOAD_FAILED], 1u);
        } else {
            EXPECT_FALSE(NT_SUCCESS(result.status));
            EXPECT_EQ(result.device->StartStatus(), result.status);
            EXPECT_NE(result.device->State(), sim::pnp::DeviceState::Started);
            EXPECT_EQ(ErrorStats[ERROR_STAT_DOWNLOAD_FAILED], ULONG(DOWNLOAD_ATTEMPTS));
            EXPECT_NE(flaky.Running(), sim::chip::Program::Main);
            EXPECT_EQ(pnp->Current(flaky), nullptr);
            flaky.FailVendorRequests(0, 0);
            EXPECT_EQ(sim::pnp::PlugChip(*pnp, flaky).status, STATUS_SUCCESS);
        }
        sim::pnp::Device *running = pnp->Current(flaky);
        ASSERT_NE(running, nullptr);
        EXPECT_EQ(running->State(), sim::pnp::DeviceState::Started);
        EXPECT_EQ(flaky.Running(), sim::chip::Program::Main);
        EXPECT_FALSE(pnp->Remove(*running).Refused());
    }
    ErrorStats[ERROR_STAT_DOWNLOAD_FAILED] = 0;
}

// A surprise removal while a diagnostic request waits for an information
// block the firmware will never send: the request ends at once, saying the
// device is going, and the removal takes no more than the cancels' time.
TEST_F(WorldInputsTest, ASurpriseRemovalEndsAWaitingDiagnosticRequestAtOnce)
{
    sim::pnp::Device &device = PlugAdapter("DG1");
    Firmware(device).SetAnswerMode(sim::adapter::AnswerMode::Silent);
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_SUCCESS);
    NTSTATUS answered = STATUS_PENDING;
    sim::Thread asker("diagnostic request", [&] {
        Bytes input(34, 0), output(35, 0);
        input[0] = 1;
        ULONG returned = 0;
        answered =
            sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), 34, output.data(), 35, &returned);
    });
    Pause(100 * kMillisecond);
    const ULONGLONG start = Now();
    EXPECT_EQ(pnp->SurpriseRemove(device), STATUS_SUCCESS);
    EXPECT_LT(Now() - start, ULONGLONG(kSecond / 2));
    asker.Join();
    EXPECT_EQ(answered, STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::user::Close(handle), STATUS_SUCCESS);
}

}  // namespace
