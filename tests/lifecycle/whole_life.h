// One adapter's whole life, run over the linked driver (full_life_test) and
// over the driver image as the target build links it, loaded the way the
// platform loads it (tests/loader, 32-bit build only): a blank chip plugged
// in, given its firmware, back as a working adapter; four ports with data
// checked, modem events, the diagnostic block, closes with their drain; a
// stop and restart; pulled out with traffic in flight; plugged in again and
// used again. Nothing may leak and nothing may be touched after it was freed
// (the sanitizer builds run this too).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "driver/diag/control_device.h"
#include "sim/host/traffic.h"
#include "sim/testbed.h"
#include "sim/user/device_file.h"

namespace testing_support {

namespace whole_life {

constexpr const char *kSerial = "NX4A0001";

inline sim::host::HostSerialDriver *Host() { return sim::Testbed::Host(kSerial); }
inline sim::host::HostPort &Port(int index) { return *sim::Testbed::HostPort(kSerial, index); }

inline void OpenAll()
{
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(sim::host::OpenForTraffic(*Host(), Port(i), 700 + 100 * i, 500 + 50 * i)) << i;
}

inline void CloseAll()
{
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(Host()->Close(Port(i))) << i;
}

// Keeps writing until the adapter goes away under it.
inline void WriteUntilGone(sim::host::HostSerialDriver &host, sim::host::HostPort &port)
{
    uint8_t chunk[64] = {};
    for (int round = 0; round < 10000; round++) {
        if (host.Write(port, chunk, sizeof(chunk)) == 0 && !host.WaitWritable(port, sim::host::kTrafficPatience))
            return;
        uint8_t sink[128];
        host.Read(port, sink, sizeof(sink));
    }
}

}  // namespace whole_life

// On a testbed with the driver loaded and nothing plugged in yet. `adapters`
// counts the driver's adapters where the test can see its table (the linked
// driver); null where it cannot (a loaded image keeps its own).
inline void RunWholeLife(sim::Testbed &bed, const std::function<ULONG()> &adapters = nullptr)
{
    using namespace whole_life;
    using sim::host::CheckedEcho;
    using sim::host::kTrafficPatience;
    sim::pnp::PnpManager &pnp = *bed.pnp;
    sim::Testbed::ChipArrival arrival = bed.PlugChip();
    ASSERT_EQ(arrival.status, STATUS_SUCCESS);
    sim::chip::EzUsbChip &chip = arrival.chip;
    ASSERT_EQ(chip.Running(), sim::chip::Program::Main);
    EXPECT_EQ(chip.ReEnumerations(), 1);
    sim::pnp::Device *device = pnp.Current(chip);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->State(), sim::pnp::DeviceState::Started);
    ASSERT_NE(Host(), nullptr) << "the enumeration node loaded no host";

    chip.Firmware()->ConnectLoopback(1);
    chip.Firmware()->ConnectLoopback(2);
    chip.Firmware()->ConnectNullModem(3, 4);
    OpenAll();
    ASSERT_EQ(CheckedEcho(*Host(), Port(0), 0, 20000), "");
    ASSERT_EQ(CheckedEcho(*Host(), Port(1), 1, 20000), "");

    // DTR dropped and raised again on port 3 shows as events at port 4, its
    // null-modem peer.
    for (ULONG code : {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_DTR}) {
        size_t before = Port(3).Events().size();
        ASSERT_TRUE(Host()->Control(Port(2), code, nullptr, 0, nullptr, 0));
        ASSERT_TRUE(Host()->WaitEvents(Port(3), before + 1, kTrafficPatience)) << code;
        EXPECT_EQ(Port(3).Events().back().PortNumber, 4);
    }

    // The diagnostic device's information block comes back whole.
    sim::user::Handle handle = nullptr;
    ASSERT_EQ(sim::user::Open("\\DosDevices\\ZerafinTest", &handle), STATUS_SUCCESS);
    std::vector<uint8_t> input(34, 0), output(35, 0);
    input[0] = 1;
    ULONG returned = 0;
    EXPECT_EQ(sim::user::DeviceIoControl(handle, IOCTL_DIAG_GET_INFO, input.data(), ULONG(input.size()), output.data(),
                                         ULONG(output.size()), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 35u);
    auto block = chip.Firmware()->InfoBlock();
    EXPECT_EQ(std::memcmp(output.data(), block.data(), 35), 0);
    sim::user::Close(handle);

    // Each close drains its port with the echo marker.
    CloseAll();

    // Stop and start again: the ports come back closed and are opened anew.
    EXPECT_FALSE(pnp.Stop(*device).Refused());
    EXPECT_EQ(pnp.Restart(*device), STATUS_SUCCESS);
    OpenAll();
    ASSERT_EQ(CheckedEcho(*Host(), Port(1), 1, 5000), "");

    // Pulled out while every port is busy.
    sim::host::HostSerialDriver &host = *Host();
    sim::host::HostPort *ports[4];
    for (int i = 0; i < 4; i++)
        ports[i] = &Port(i);
    std::vector<std::unique_ptr<sim::Thread>> writers;
    for (int i = 0; i < 4; i++)
        writers.push_back(std::make_unique<sim::Thread>("writer " + std::to_string(i),
                                                        [&host, port = ports[i]] { WriteUntilGone(host, *port); }));
    LARGE_INTEGER delay;
    delay.QuadPart = -200'000;  // 20 ms of traffic first
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(pnp.SurpriseRemove(*device), STATUS_SUCCESS);
    for (auto &writer : writers)
        writer->Join();
    if (adapters) {
        EXPECT_EQ(adapters(), 0u);
    }
    // The unloaded host driver's ports lead nowhere any more.
    EXPECT_EQ(Host(), nullptr);
    for (sim::host::HostPort *port : ports)
        EXPECT_FALSE(host.Close(*port));

    // In again: a new adapter, a new host driver, working ports.
    auto again = pnp.Plug(chip);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    pnp.WaitIdle();
    ASSERT_EQ(again.device->State(), sim::pnp::DeviceState::Started);
    ASSERT_NE(Host(), nullptr);
    EXPECT_NE(Host(), &host);
    for (int port = 1; port <= 4; port++)
        chip.Firmware()->ConnectLoopback(port);
    OpenAll();
    ASSERT_EQ(CheckedEcho(*Host(), Port(0), 0, 10000), "");
    CloseAll();
    EXPECT_FALSE(pnp.Remove(*again.device).Refused());
    if (adapters) {
        EXPECT_EQ(adapters(), 0u);
    }
}

}  // namespace testing_support
