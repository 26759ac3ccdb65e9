// The whole data path for the benchmark: adapters running the main firmware,
// plugged into the Plug and Play manager (one Bus each), the driver, and the
// host serial driver with its four ports open at 115200 8N1 with RTS/CTS
// flow control; a loopback plug on ports 1 and 2 and a null-modem cable
// between 3 and 4, so every port sends and receives at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/adapter/main_firmware.h"
#include "sim/testbed.h"

namespace nuvix::bench {

struct RigOptions {
    int adapters = 1;
    bool busTiming = false;  // full-speed bulk frames on every bus
};

struct StreamResult {
    bool ok = true;
    std::string failure;
    uint64_t payload = 0;      // bytes written plus bytes read, every port
    double kernelSeconds = 0;  // simulated time of the data phase
    double wallSeconds = 0;
    uint64_t bulkTransfers = 0;  // on every bus, during the data phase
};

class Rig {
public:
    explicit Rig(RigOptions options);
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // False (with a reason) when an adapter did not start or a port did not open.
    bool Ready(std::string &why) const;

    // bytes through every port of every adapter in each direction at once,
    // each byte checked.
    StreamResult Stream(uint64_t bytes);

private:
    struct Adapter;
    bool OpenPorts(Adapter &adapter);

    RigOptions options_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    // Made once the driver's counters are cleared, so it loads the driver after.
    std::unique_ptr<sim::Testbed> bed_;
    std::string failure_;
};

}  // namespace nuvix::bench
