// Writes the fuzz targets' seed inputs: the frames and data a working
// adapter sends, and the descriptors it answers with, in each target's input
// layout (see the comment at the top of each target).
//
//     build/fuzz/fuzz/fuzz_make_corpus fuzz/corpus
//
// writes fuzz/corpus/responses/*.bin and fuzz/corpus/configuration/*.bin.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/base/protocol.h"
#include "driver/core/configure.h"
#include "fuzz/fuzz_device.h"
#include "sim/usb/scripted_device.h"

namespace {

using Bytes = std::vector<uint8_t>;

// --- fuzz_responses ----------------------------------------------------------
class Responses {
public:
    // states: two bits per port (0 closed, 1 open unbound, 2 binding, 3 bound).
    Responses(uint8_t states, uint8_t ring, uint8_t start) : bytes_{states, ring, start} {}
    Responses &Frame(const Bytes &frame)
    {
        bytes_.push_back(0);
        bytes_.push_back(static_cast<uint8_t>(frame.size()));
        bytes_.insert(bytes_.end(), frame.begin(), frame.end());
        return *this;
    }
    Responses &Data(int port, const Bytes &data)
    {
        bytes_.push_back(static_cast<uint8_t>(1 | ((port - 1) << 3)));
        bytes_.push_back(static_cast<uint8_t>(data.size()));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    // pipe 1..4: a port's; 5: the command pipe. status: index into the target's table.
    Responses &Failure(int pipe, uint8_t status)
    {
        bytes_.push_back(static_cast<uint8_t>(2 | ((pipe - 1) << 3)));
        bytes_.push_back(status);
        return *this;
    }
    Responses &Sync() { return Op(3); }
    Responses &HostRead(int port, uint8_t count)
    {
        Op(static_cast<uint8_t>(4 | ((port - 1) << 3)));
        bytes_.push_back(count);
        return *this;
    }
    Responses &StartReader() { return Op(5); }
    Responses &Close(int port) { return Op(static_cast<uint8_t>(6 | ((port - 1) << 3))); }
    Responses &BindDone(int port) { return Op(static_cast<uint8_t>(7 | ((port - 1) << 3))); }
    const Bytes &bytes() const { return bytes_; }

private:
    Responses &Op(uint8_t op)
    {
        bytes_.push_back(op);
        return *this;
    }
    Bytes bytes_;
};

Bytes Counting(size_t n, uint8_t first)
{
    Bytes out(n);
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<uint8_t>(first + i);
    return out;
}

Bytes Info()
{
    Bytes frame(1 + 35, 0);
    frame[0] = RSP_INFO;
    std::string name = "NX4 main";
    for (size_t i = 0; i < name.size(); i++)
        frame[1 + i] = static_cast<uint8_t>(name[i]);
    frame[21] = 1;
    frame[22] = 4;
    frame[23] = 17;
    return frame;
}

Bytes AdapterStatus()
{
    Bytes frame(1 + 19, 0);
    frame[0] = RSP_ADAPTER_STATUS;
    for (size_t i = 1; i < frame.size(); i++)
        frame[i] = static_cast<uint8_t>(i * 7);
    return frame;
}

// Port data shaped like the close's drain marker: the old four-byte echo,
// four and sixteen bytes from 'B' to 'G'. Only the marker a close made ends
// its drain; these are data.
const Bytes kBong = {'B', 'O', 'N', 'G'};
const Bytes kMarkerShaped = {'B',  0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 'G'};

std::vector<std::pair<std::string, Bytes>> ResponseSeeds()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    auto add = [&](std::string name, const Responses &r) { seeds.emplace_back(std::move(name), r.bytes()); };

    add("open_answers", Responses(0xFF, 7, 0)
                            .Frame({RSP_DONE, CMD_OPEN, 1})
                            .Frame({RSP_DONE, CMD_OPEN, 2})
                            .Frame({RSP_STATUS, 1, 0x00, 0x30, 0, 0, 0})
                            .Frame({RSP_DONE, CMD_SETUP, 1})
                            .Frame({RSP_EVENT, 2, 0x01, 0xB0}));
    add("status_for_each_port", Responses(0xFF, 7, 0)
                                    .Frame({RSP_STATUS, 1, 0x21, 0x30, 7, 8, 9})
                                    .Frame({RSP_STATUS, 2, 0x01, 0x10, 0, 0, 0})
                                    .Frame({RSP_STATUS, 3, 0x00, 0x00, 0, 0, 0})
                                    .Frame({RSP_STATUS, 4, 0x08, 0x80, 1, 2, 3}));
    add("events_every_slot", Responses(0xFF, 7, 0)
                                 .Frame({RSP_EVENT, 4, 0x01, 0xB0})
                                 .Frame({RSP_EVENT, 4, 0x06, 0x44})
                                 .Frame({RSP_EVENT, 4, 0x08, 0x55})
                                 .Frame({RSP_EVENT, 4, 0x10, 0x66})
                                 .Frame({RSP_EVENT, 0, 0x01, 0x10})
                                 .Frame({RSP_EVENT, 200, 0x01, 0x10}));
    add("info_and_adapter_status", Responses(0x03, 7, 0).Frame(Info()).Frame(AdapterStatus()).Frame({0x42}));
    add("no_port_open_done_stops_reader", Responses(0x00, 7, 0)
                                              .StartReader()
                                              .Frame({RSP_INFO})
                                              .Frame({RSP_DONE, 0, 1})
                                              .Frame({RSP_DONE, 0, 2})
                                              .Sync()
                                              .StartReader()
                                              .Sync());
    add("short_and_long_frames", Responses(0xFF, 7, 0)
                                     .Frame({})
                                     .Frame({RSP_STATUS})
                                     .Frame({RSP_EVENT, 1})
                                     .Frame(Counting(64, 0))
                                     .Frame(Counting(65, 0))
                                     .Frame({RSP_DONE, 0, 0}));
    add("data_all_ports", Responses(0xFF, 7, 0)
                              .Data(1, Counting(64, 0x10))
                              .Data(2, Counting(17, 0x20))
                              .Data(3, Counting(1, 0x30))
                              .Data(4, Counting(63, 0x40))
                              .Sync()
                              .Data(1, Counting(64, 0x50))
                              .Sync()
                              .HostRead(1, 200));
    add("data_wraps_small_ring", Responses(0x03, 4, 100)
                                     .Data(1, Counting(64, 0))
                                     .Sync()
                                     .HostRead(1, 64)
                                     .Data(1, Counting(64, 64))
                                     .Sync()
                                     .HostRead(1, 30)
                                     .Data(1, Counting(40, 128))
                                     .Sync());
    add("ring_full_then_host_reads", Responses(0x03, 0, 0)
                                         .Data(1, Counting(64, 0))
                                         .Data(1, Counting(64, 64))
                                         .Sync()
                                         .HostRead(1, 10)
                                         .HostRead(1, 54)
                                         .Sync());
    add("zero_length_packets", Responses(0x0F, 7, 0).Data(1, {}).Data(2, {}).Data(1, Counting(5, 1)).Frame({}).Sync());
    add("read_failures", Responses(0xFF, 7, 0)
                             .Data(1, Counting(8, 1))
                             .Failure(1, 1)
                             .Data(1, Counting(8, 9))
                             .Sync()
                             .HostRead(1, 8)
                             .Sync()
                             .Failure(5, 0)
                             .Frame({RSP_DONE, 0, 1})
                             .Sync()
                             .StartReader()
                             .Sync()
                             .Failure(2, 6)
                             .Failure(3, 7)
                             .Failure(4, 2));
    add("close_drain", Responses(0x0C, 7, 0)
                           .Data(2, Counting(20, 0))
                           .Sync()
                           .Close(2)
                           .Data(2, Counting(30, 20))
                           .Data(2, kBong)
                           .Data(2, kMarkerShaped)
                           .Data(2, Counting(10, 50))
                           .Frame({RSP_DONE, CMD_CLOSE, 2})
                           .Sync());
    add("close_with_lookalike_markers", Responses(0x0C, 7, 0)
                                            .Close(2)
                                            .Data(2, {'B', 'O', 'N', 'X'})
                                            .Data(2, {'B', 'O', 'N', 'G', 0})
                                            .Data(2, {'B', 'x', 'y', 'G'})
                                            .Sync());
    add("marker_shaped_data_while_open", Responses(0xFF, 7, 0)
                                             .Data(1, kBong)
                                             .Data(1, kMarkerShaped)
                                             .Data(1, {'B', 'x', 'y', 'G'})
                                             .Sync()
                                             .HostRead(1, 24)
                                             .Data(3, kMarkerShaped)
                                             .Sync());
    add("bind_pending_status", Responses(0x99, 7, 0)
                                   .Frame({RSP_STATUS, 1, 1, 0x30, 7, 8, 9})
                                   .Frame({RSP_STATUS, 2, 1, 0x30, 7, 8, 9})
                                   .Frame({RSP_EVENT, 2, 0x01, 0x30})
                                   .Data(2, Counting(12, 0))
                                   .Sync()
                                   .BindDone(2)
                                   .Frame({RSP_EVENT, 2, 0x01, 0x30})
                                   .HostRead(2, 12)
                                   .Data(2, Counting(12, 12))
                                   .Sync());
    add("port_without_ring", Responses(0xFF, 0x0F, 3)
                                 .Data(4, Counting(10, 0))
                                 .Frame({RSP_STATUS, 4, 0, 0, 0, 0, 0})
                                 .Data(3, Counting(10, 0))
                                 .Sync());
    add("odd_ring_sizes", Responses(0xFF, 1, 64)
                              .Data(1, Counting(64, 0))
                              .Data(2, Counting(33, 0))
                              .Sync()
                              .HostRead(1, 1)
                              .HostRead(2, 33)
                              .Data(2, Counting(64, 0))
                              .Sync());
    return seeds;
}

// --- fuzz_configuration ------------------------------------------------------
Bytes Configuration(uint8_t stalls, const Bytes &device, const Bytes &serial, const Bytes &config)
{
    Bytes out{stalls, static_cast<uint8_t>(device.size())};
    out.insert(out.end(), device.begin(), device.end());
    out.push_back(static_cast<uint8_t>(serial.size()));
    out.insert(out.end(), serial.begin(), serial.end());
    out.push_back(static_cast<uint8_t>(config.size()));
    out.push_back(static_cast<uint8_t>(config.size() >> 8));
    out.insert(out.end(), config.begin(), config.end());
    return out;
}

std::vector<std::pair<std::string, Bytes>> ConfigurationSeeds()
{
    using sim::usb::MakeBulkConfiguration;
    using sim::usb::MakeDeviceDescriptor;
    using sim::usb::MakeStringDescriptor;
    const Bytes running = MakeDeviceDescriptor(0x0D28, 0x8004, SERIAL_NUMBER_STRING_INDEX);
    const Bytes blank = MakeDeviceDescriptor(0x0D28, 0x0004, 0);
    const Bytes serial = MakeStringDescriptor(u"NX4A0001");
    const Bytes adapter = MakeBulkConfiguration(fuzzing::AdapterEndpoints());
    Bytes twoInterfaces = adapter;
    Bytes second = MakeBulkConfiguration({0x86, 0x06});
    twoInterfaces.insert(twoInterfaces.end(), second.begin() + 9, second.end());
    twoInterfaces[2] = static_cast<uint8_t>(twoInterfaces.size());
    twoInterfaces[4] = 2;
    twoInterfaces[9 + 2] = 0;
    twoInterfaces[adapter.size() + 2] = 1;

    std::vector<std::pair<std::string, Bytes>> seeds;
    seeds.emplace_back("running_adapter", Configuration(0, running, serial, adapter));
    seeds.emplace_back("blank_chip_download", Configuration(8, blank, serial, MakeBulkConfiguration({0x81, 0x01})));
    seeds.emplace_back("blank_chip", Configuration(0, blank, serial, MakeBulkConfiguration({0x81, 0x01})));
    seeds.emplace_back("too_few_pipes",
                       Configuration(0, running, serial, MakeBulkConfiguration({0x81, 0x01, 0x82, 0x02})));
    seeds.emplace_back("long_serial",
                       Configuration(0, running, MakeStringDescriptor(u"NX4A00010123456789ABCDEF0123456789"), adapter));
    seeds.emplace_back("two_interfaces", Configuration(0, running, serial, twoInterfaces));
    seeds.emplace_back("serial_stalls", Configuration(2, running, serial, adapter));
    seeds.emplace_back("configuration_stalls", Configuration(4, running, serial, adapter));
    seeds.emplace_back("device_stalls", Configuration(1, running, serial, adapter));
    // Several adapters at once (bits 4-5 of the first byte: how many more),
    // whose serial numbers nest, collide as names or hold what no name may.
    auto together = [&](const std::vector<std::u16string> &serials) {
        Bytes out;
        for (size_t i = 0; i < serials.size(); i++) {
            Bytes one = Configuration(i ? 0 : uint8_t((serials.size() - 1) << 4), running,
                                      MakeStringDescriptor(serials[i]), adapter);
            out.insert(out.end(), one.begin(), one.end());
        }
        return out;
    };
    seeds.emplace_back("nesting_serial_numbers", together({u"AB", u"AB1", u"A", u"A-3"}));
    seeds.emplace_back("colliding_names", together({u"AB\\CD", u"AB,CD", u"ab_cd"}));
    seeds.emplace_back("unsafe_serial_numbers", together({u"\\X1", u"..\\..\\Z", u"Z9\\", u"A B"}));
    return seeds;
}

bool WriteAll(const std::filesystem::path &dir, const std::vector<std::pair<std::string, Bytes>> &seeds)
{
    std::filesystem::create_directories(dir);
    for (const auto &[name, bytes] : seeds) {
        std::ofstream out(dir / (name + ".bin"), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "fuzz_make_corpus: cannot write %s\n", (dir / name).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_corpus DIR   (writes DIR/responses and DIR/configuration)\n");
        return 2;
    }
    std::filesystem::path root = argv[1];
    if (!WriteAll(root / "responses", ResponseSeeds()) || !WriteAll(root / "configuration", ConfigurationSeeds()))
        return 1;
    return 0;
}
