// Fuzz target: the descriptors an adapter answers with while it is started.
// Each input is a device arriving with its own device, serial-number string
// and configuration descriptors: the Plug and Play manager loads the driver,
// the adapter is added and started (descriptor reads, serial number, port
// objects, configuration selection, pipe map, command channel, or the
// firmware download for a device that says its firmware does not run), and
// then pulled out. Every input gets a fresh simulated world; the bus answers
// inline, so an input replays exactly.
//
// Checks beyond the sanitizers and the verifier's bug checks: once the
// device is removed and the driver unloaded, nothing the driver allocated is
// still live; a start that succeeded with the firmware running left a
// configured adapter whose pipe map points into its interface.
//
// Input layout (missing bytes read as zero):
//   byte 0       bit 0: the device descriptor read stalls; bit 1: the serial
//                number's; bit 2: the configuration descriptor's; bit 3: vendor
//                requests succeed (a blank chip then gets its whole firmware
//                download, some 1300 transfers; else the first one stalls and
//                the download stops there)
//   byte 1       length of the device descriptor, then its bytes
//   next byte    length of the serial-number string descriptor, then its bytes
//   next 2 bytes length of the configuration descriptor (little endian, at
//                most kMaxConfiguration), then its bytes
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/base/context.h"
#include "driver/core/driver_entry.h"
#include "driver/core/configure.h"
#include "fuzz/fuzz_device.h"
#include "fuzz/fuzz_support.h"
#include "sim/kernel/bugcheck.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus.h"
#include "sim/world.h"

namespace {

using fuzzing::Fail;
using fuzzing::Input;

constexpr size_t kMaxConfiguration = 1024;

// The pipe map of a configured adapter points into its own interface copy.
void CheckConfiguredAdapter(AdapterContext *adapter)
{
    PUSBD_INTERFACE_INFORMATION info = adapter->InterfaceInfo;
    if (!info)
        Fail("a configured adapter without its interface information");
    auto inside = [&](PUSBD_PIPE_INFORMATION pipe) {
        return pipe >= &info->Pipes[0] && pipe < &info->Pipes[0] + info->NumberOfPipes;
    };
    if (!inside(adapter->CommandInPipe) || !inside(adapter->CommandOutPipe))
        Fail("the command pipes are not pipes of the selected interface");
    for (ULONG i = 0; i < adapter->PortCount && i < PORTS_PER_ADAPTER; i++) {
        PortContext *port = adapter->Ports[i];
        if (!port || !inside(port->DataInPipe) || !inside(port->DataOutPipe))
            Fail("port " + std::to_string(i + 1) + " has no pipes of the selected interface");
    }
    if (!adapter->SerialNumber)
        Fail("a configured adapter without a serial number");
}

void RunOne(const uint8_t *data, size_t size)
{
    Input input(data, size);
    uint8_t stalls = input.Byte();
    std::vector<uint8_t> device = input.Bytes(input.Byte());
    std::vector<uint8_t> serial = input.Bytes(input.Byte());
    size_t configLength = input.Byte();
    configLength |= static_cast<size_t>(input.Byte()) << 8;
    std::vector<uint8_t> config = input.Bytes(std::min(configLength, kMaxConfiguration));

    sim::World world(sim::WorldOptions{1, sim::ClockMode::Simulated, sim::Schedule::RealThreads});
    fuzzing::FuzzDevice model;
    auto maybe = [](bool stall, std::vector<uint8_t> bytes) {
        return stall ? std::nullopt : std::optional<std::vector<uint8_t>>(std::move(bytes));
    };
    model.SetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, maybe(stalls & 1, device));
    model.SetDescriptor(USB_STRING_DESCRIPTOR_TYPE, SERIAL_NUMBER_STRING_INDEX, maybe(stalls & 2, serial));
    model.SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, maybe(stalls & 4, config));
    model.StallVendorRequests(!(stalls & 8));
    {
        sim::pnp::PnpManager pnp(DriverEntry, RbGetServiceTable);
        pnp.OnNewBus([](sim::usb::Bus &bus) {
            bus.SetCompletionMode(sim::usb::CompletionMode::Inline);
            bus.SetCancelMode(sim::usb::CancelMode::Inline);
        });
        sim::pnp::PlugResult result = pnp.Plug(model);
        if (fuzzing::Tracing())
            std::fprintf(stderr, "start: status 0x%08X, state %s\n", static_cast<unsigned>(result.status),
                         result.device ? sim::pnp::StateName(result.device->State()) : "no device");
        if (result.device && result.device->State() == sim::pnp::DeviceState::Started) {
            auto *adapter = static_cast<AdapterContext *>(result.device->Fdo()->DeviceExtension);
            if (fuzzing::Tracing()) {
                std::string serialText;
                for (const char *c = adapter->SerialNumber; c && *c; c++)
                    serialText += (*c >= 0x20 && *c < 0x7F) ? std::string(1, *c) : sim::Hex(static_cast<uint8_t>(*c));
                std::fprintf(stderr, "adapter: firmware %s, serial number %s\"%s\"\n",
                             adapter->FirmwareRunning ? "running" : "not running",
                             adapter->SerialNumber ? "" : "(none) ", serialText.c_str());
            }
            if (adapter->FirmwareRunning)
                CheckConfiguredAdapter(adapter);
        }
        pnp.WaitIdle();
        for (sim::pnp::Device *plugged : pnp.Devices())
            if (plugged->Present())
                pnp.SurpriseRemove(*plugged);
    }
    std::string leaks = world.LeakReport();
    if (!leaks.empty())
        Fail("still live after the device was removed and the driver unloaded:\n" + leaks);
}

}  // namespace

// The simulation keeps some records of its own from one world to the next,
// which libFuzzer's per-input leak hunt would chase in every input; the
// driver's allocations are checked above, and LeakSanitizer checks the whole
// process at exit.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzing::NoPerInputLeakHunt(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RunOne(data, size);
    return 0;
}
