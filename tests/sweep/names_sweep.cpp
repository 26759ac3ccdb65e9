// Adapters whose serial numbers nest, collide as names or hold characters
// no name may carry, present together: plugged in one order or the other,
// removed in an order and a manner (orderly or pulled) the seed chooses.
// Every adapter that starts moves data through its own UARTs only, both
// ways; one whose names would be another's is refused with the name
// collision and the other is unharmed; no object name gains a separator;
// the diagnostic link always leads to a present adapter and goes with the
// last one.
#include <algorithm>
#include <cctype>
#include <memory>
#include <random>

#include "harness.h"
#include "rig.h"
#include "sim/io/io.h"
#include "sim/pnp/config_manager.h"

namespace sweep {
namespace {

// The serial number as names carry it, worked out here on the platform's
// rules, not taken from the driver.
std::string Safe(const std::string &serial)
{
    std::string safe;
    for (unsigned char c : serial)
        safe += (c <= ' ' || c > '~' || c == '\\' || c == ',') ? '_' : char(c);
    return safe;
}

// Names compare without case: two serial numbers with one NameOf collide.
std::string NameOf(const std::string &serial)
{
    std::string name = Safe(serial);
    for (char &c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::vector<uint8_t> Tag(const std::string &safe, int port)
{
    std::string text = "<" + safe + "/" + std::to_string(port) + ">";
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The adapter's port moves its own tag out through its own UART and back.
void CheckOwnPort(sim::adapter::MainFirmware &firmware, const std::string &safe, int index)
{
    sim::host::HostSerialDriver *host = sim::Testbed::Host(safe);
    sim::host::HostPort *port = sim::Testbed::HostPort(safe, index);
    if (!host || !port)
        Fatal(safe + ": no host port " + std::to_string(index));
    firmware.ConnectEndpoint(index + 1);
    SWEEP_CHECK(host->Open(*port) && host->Bind(*port, 512, 512), safe + ": port does not open");
    std::vector<uint8_t> tag = Tag(safe, index), sent;
    host->Write(*port, tag.data(), tag.size());
    for (int i = 0; i < 100 && sent.size() < tag.size(); i++) {
        std::vector<uint8_t> more = firmware.TakeTransmitted(index + 1);
        sent.insert(sent.end(), more.begin(), more.end());
        Sleep(sim::kTicksPerMillisecond);
    }
    SWEEP_CHECK(sent == tag, safe + ": port " + std::to_string(index) +
                                 " sent to its UART: " + std::string(sent.begin(), sent.end()));
    firmware.Inject(index + 1, tag);
    std::vector<uint8_t> back(64);
    if (host->WaitReadable(*port, kPatience))
        back.resize(host->Read(*port, back.data(), back.size()));
    else
        back.clear();
    SWEEP_CHECK(back == tag,
                safe + ": port " + std::to_string(index) + " read " + std::string(back.begin(), back.end()));
    SWEEP_CHECK(host->Close(*port), safe + ": port does not close");
}

void CheckNames()
{
    for (PDEVICE_OBJECT object : sim::io::LiveDevices()) {
        std::string name = sim::io::DeviceName(object);
        SWEEP_CHECK(name.empty() || std::count(name.begin(), name.end(), '\\') == 2, "object name " + name);
    }
}

void CheckLink(const std::vector<AdapterContext *> &present)
{
    std::string link = sim::io::ResolveSymbolicLink("\\DosDevices\\ZerafinTest");
    bool leads = false;
    for (AdapterContext *adapter : present)
        leads |= link == "\\Device\\NuvixUsb" + std::to_string(adapter->SlotIndex);
    SWEEP_CHECK(present.empty() ? link.empty() : leads, "the link leads to '" + link + "'");
}

void Together(const std::string &id, uint64_t seed, const std::vector<std::string> &serials)
{
    Rig rig(id, seed);
    std::mt19937_64 random(seed);
    std::vector<std::unique_ptr<sim::adapter::MainFirmware>> models;
    std::vector<sim::pnp::Device *> started;
    std::vector<std::string> names, safe;
    for (const std::string &serial : serials) {
        models.push_back(std::make_unique<sim::adapter::MainFirmware>(serial));
        bool collides = std::find(names.begin(), names.end(), NameOf(serial)) != names.end();
        sim::pnp::PlugResult result = rig.bed->pnp->Plug(*models.back());
        Note(Safe(serial) + ": start " + Rig::StatusText(result.status));
        if (serial.size() > 32) {
            SWEEP_CHECK(result.status == STATUS_INSUFFICIENT_RESOURCES, Safe(serial) + ": too long, yet started");
            continue;
        }
        if (collides) {
            SWEEP_CHECK(result.status == STATUS_OBJECT_NAME_COLLISION, Safe(serial) + " shares a name, yet started");
            continue;
        }
        SWEEP_CHECK(result.status == STATUS_SUCCESS, Safe(serial) + " did not start");
        if (result.status != STATUS_SUCCESS)
            continue;
        names.push_back(NameOf(serial));
        safe.push_back(Safe(serial));
        started.push_back(result.device);
        CheckNames();
    }
    for (size_t i = 0; i < started.size(); i++)
        CheckOwnPort(static_cast<sim::adapter::MainFirmware &>(started[i]->Model()), safe[i], int(i % 4));
    std::shuffle(started.begin(), started.end(), random);
    while (!started.empty()) {
        sim::pnp::Device *device = started.back();
        started.pop_back();
        if (random() % 2)
            rig.bed->pnp->SurpriseRemove(*device);
        else
            SWEEP_CHECK(!rig.bed->pnp->Remove(*device).Refused(), "removal refused");
        rig.bed->pnp->WaitIdle();
        std::vector<AdapterContext *> present;
        for (sim::pnp::Device *other : started)
            present.push_back(static_cast<AdapterContext *>(other->Fdo()->DeviceExtension));
        CheckLink(present);
    }
    SWEEP_CHECK(AdapterTable.Count == 0, "an adapter is left in the table");
    rig.FinishAndCheckPool();
}

std::vector<Case> Cases()
{
    const std::vector<std::string> stems = {"A", "AB", "PX1", "NX4A0001", std::string(30, 'W')};
    const std::vector<std::string> tails = {"1",    "12", "-", "-1",   "-3",   "-0", "0",          "\\",
                                            "\\CD", ",",  " ", "\x01", "\xE9", "_",  "\\..\\..\\Z"};
    std::vector<std::vector<std::string>> sets;
    for (const std::string &stem : stems) {
        std::string flipped = stem;
        for (char &c : flipped)
            c = std::isupper(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : char(std::toupper(c));
        sets.push_back({stem, stem});
        sets.push_back({stem, flipped});
        for (const std::string &tail : tails) {
            sets.push_back({stem, stem + tail});
            sets.push_back({stem + tail, stem});
            sets.push_back({tail + stem, Safe(tail) + stem, stem});
        }
    }
    std::vector<Case> cases;
    for (size_t i = 0; i < sets.size(); i++) {
        std::string id = "names:" + std::to_string(i);
        for (const std::string &serial : sets[i])
            id += ":" + Safe(serial);
        std::vector<std::string> serials = sets[i];
        cases.push_back({id, [id, serials](uint64_t seed) { Together(id, seed, serials); }});
    }
    return cases;
}

Registrar registrar({"names", "adapters whose serial numbers nest, collide or hold what no name may", Cases, 4});

}  // namespace
}  // namespace sweep
