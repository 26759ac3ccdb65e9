// Fuzz target: the descriptors adapters answer with while they are started.
// Each input is one to four devices arriving one after the other, each with
// its own device, serial-number string and configuration descriptors: the
// Plug and Play manager loads the driver, each adapter is added and started
// (descriptor reads, serial number, port objects, configuration selection,
// pipe map, command channel, or the firmware download for a device that says
// its firmware does not run), and then all are pulled out, last first. Every
// input gets a fresh simulated world; the bus answers inline, so an input
// replays exactly.
//
// Checks beyond the sanitizers and the verifier's bug checks: once the
// devices are removed and the driver unloaded, nothing the driver allocated
// is still live; a start that succeeded with the firmware running left a
// configured adapter whose pipe map points into its interface; no two
// started adapters answer to one name, and each one's host ports open its
// own ports and no other adapter's; the diagnostic link leads to a present
// adapter while any is left.
//
// Input layout (missing bytes read as zero):
//   byte 0       bit 0: the device descriptor read stalls; bit 1: the serial
//                number's; bit 2: the configuration descriptor's; bit 3: vendor
//                requests succeed (a blank chip then gets its whole firmware
//                download, some 1300 transfers; else the first one stalls and
//                the download stops there); bits 4-5: how many more devices
//                follow this one (0 to 3)
//   byte 1       length of the device descriptor, then its bytes
//   next byte    length of the serial-number string descriptor, then its bytes
//   next 2 bytes length of the configuration descriptor (little endian, at
//                most kMaxConfiguration), then its bytes
//   then each further device: its own byte with bits 0-3 as above, and its
//   three descriptors as above
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/base/context.h"
#include "driver/core/driver_entry.h"
#include "driver/core/configure.h"
#include "driver/base/adapter_table.h"
#include "driver/service/port_lookup.h"
#include "fuzz/fuzz_device.h"
#include "fuzz/fuzz_support.h"
#include "sim/io/io.h"
#include "sim/kernel/bugcheck.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/testbed.h"
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

struct Arrival {
    uint8_t stalls = 0;
    std::unique_ptr<fuzzing::FuzzDevice> model = std::make_unique<fuzzing::FuzzDevice>();
};

Arrival ReadArrival(Input &input, uint8_t stalls)
{
    Arrival arrival;
    arrival.stalls = stalls;
    std::vector<uint8_t> device = input.Bytes(input.Byte());
    std::vector<uint8_t> serial = input.Bytes(input.Byte());
    size_t configLength = input.Byte();
    configLength |= static_cast<size_t>(input.Byte()) << 8;
    std::vector<uint8_t> config = input.Bytes(std::min(configLength, kMaxConfiguration));
    auto maybe = [](bool stall, std::vector<uint8_t> bytes) {
        return stall ? std::nullopt : std::optional<std::vector<uint8_t>>(std::move(bytes));
    };
    arrival.model->SetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, maybe(stalls & 1, device));
    arrival.model->SetDescriptor(USB_STRING_DESCRIPTOR_TYPE, SERIAL_NUMBER_STRING_INDEX, maybe(stalls & 2, serial));
    arrival.model->SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, maybe(stalls & 4, config));
    arrival.model->StallVendorRequests(!(stalls & 8));
    return arrival;
}

std::string Lower(const char *text)
{
    std::string lower;
    for (; text && *text; text++)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
    return lower;
}

// Each started adapter with its firmware running: the names of its host
// ports lead to its own ports, and no two answer to one name.
void CheckAdaptersApart(const std::vector<AdapterContext *> &adapters)
{
    for (size_t a = 0; a < adapters.size(); a++) {
        for (size_t b = 0; b < a; b++)
            if (Lower(adapters[a]->SerialNumber) == Lower(adapters[b]->SerialNumber))
                Fail(std::string("two started adapters answer to \"") + adapters[a]->SerialNumber + "\"");
        for (int index = 0; index < PORTS_PER_ADAPTER; index++) {
            sim::host::HostPort *port = sim::pnp::ConfigManager::Get().HostPortFor(adapters[a]->SerialNumber, index);
            if (!port)
                continue;
            KIRQL previous;
            KeAcquireSpinLock(&AdapterTableLock, &previous);
            PortContext *found = LookupPort(port->Handle());
            KeReleaseSpinLock(&AdapterTableLock, previous);
            if (found != adapters[a]->Ports[index])
                Fail(std::string("port ") + std::to_string(index) + " of \"" + adapters[a]->SerialNumber +
                     "\" leads elsewhere");
        }
    }
}

void CheckLink(const std::vector<sim::pnp::Device *> &present)
{
    std::string link = sim::io::ResolveSymbolicLink("\\DosDevices\\ZerafinTest");
    for (sim::pnp::Device *device : present)
        if (link == sim::io::DeviceName(device->Fdo()))
            return;
    if (!present.empty() || !link.empty())
        Fail("the diagnostic link leads to '" + link + "'");
}

void RunOne(const uint8_t *data, size_t size)
{
    Input input(data, size);
    uint8_t first = input.Byte();
    std::vector<Arrival> arrivals;
    arrivals.push_back(ReadArrival(input, first));
    for (int more = (first >> 4) & 3; more > 0; more--)
        arrivals.push_back(ReadArrival(input, input.Byte()));

    sim::World world(sim::WorldOptions{1, sim::ClockMode::Simulated, sim::Schedule::RealThreads});
    {
        sim::Testbed bed(DriverEntry, RbGetServiceTable);
        sim::pnp::PnpManager &pnp = *bed.pnp;
        pnp.OnNewBus([](sim::usb::Bus &bus) {
            bus.SetCompletionMode(sim::usb::CompletionMode::Inline);
            bus.SetCancelMode(sim::usb::CancelMode::Inline);
        });
        std::vector<AdapterContext *> configured;
        for (Arrival &arrival : arrivals) {
            sim::pnp::PlugResult result = pnp.Plug(*arrival.model);
            if (fuzzing::Tracing())
                std::fprintf(stderr, "start: status 0x%08X, state %s\n", static_cast<unsigned>(result.status),
                             result.device ? sim::pnp::StateName(result.device->State()) : "no device");
            if (!result.device || result.device->State() != sim::pnp::DeviceState::Started)
                continue;
            auto *adapter = static_cast<AdapterContext *>(result.device->Fdo()->DeviceExtension);
            if (fuzzing::Tracing()) {
                std::string serialText;
                for (const char *c = adapter->SerialNumber; c && *c; c++)
                    serialText += (*c >= 0x20 && *c < 0x7F) ? std::string(1, *c) : sim::Hex(static_cast<uint8_t>(*c));
                std::fprintf(stderr, "adapter: firmware %s, serial number %s\"%s\"\n",
                             adapter->FirmwareRunning ? "running" : "not running",
                             adapter->SerialNumber ? "" : "(none) ", serialText.c_str());
            }
            if (adapter->FirmwareRunning) {
                CheckConfiguredAdapter(adapter);
                configured.push_back(adapter);
            }
        }
        pnp.WaitIdle();
        CheckAdaptersApart(configured);
        std::vector<sim::pnp::Device *> present;
        for (sim::pnp::Device *plugged : pnp.Devices())
            if (plugged->Present() && plugged->Fdo())
                present.push_back(plugged);
        while (!present.empty()) {
            CheckLink(present);
            pnp.SurpriseRemove(*present.back());
            present.pop_back();
        }
        CheckLink(present);
    }
    std::string leaks = world.LeakReport();
    if (!leaks.empty())
        Fail("still live after the devices were removed and the driver unloaded:\n" + leaks);
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
