// A small function driver for testing the Plug and Play side of the
// platform on its own: AddDevice creates a device and attaches it to the
// physical device object; the Plug and Play, power and system-control
// routines pass requests down the way a WDM function driver does (the start
// synchronously, waiting for the lower drivers; queries with STATUS_SUCCESS
// set first; the removal followed by detach and delete). Tests steer it
// through FakeDriver::Options and read what it saw through FakeDriver::Log.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/platform/platform.h"

namespace pnptest {

struct FakeDriverOptions {
    NTSTATUS addDevice = STATUS_SUCCESS;
    // Plug and Play minor codes the function driver completes itself with
    // this status instead of passing them down (a refused query).
    std::map<UCHAR, NTSTATUS> refuse;
    bool detachOnRemove = true;
    bool registerUnload = true;
    // Runs in the Plug and Play routine before the request is handled.
    std::function<void(PDEVICE_OBJECT fdo, UCHAR minor)> onPnp;
    // Runs once the lower drivers have completed a start successfully, still
    // inside the start request.
    std::function<void(PDEVICE_OBJECT fdo)> afterStart;
};

struct FakeDriverLog {
    int entries = 0;
    int unloads = 0;
    std::u16string registryPath;
    std::vector<PDEVICE_OBJECT> added;
    // "<n> <what>" per event, n counting the devices added from 1:
    // "1 start", "1 start done", "1 surprise", "1 remove", "1 power 2", ...
    std::vector<std::string> events;
    // What IofCallDriver returned when each start was passed down.
    std::vector<NTSTATUS> startPassedDown;
};

class FakeDriver {
public:
    // Forgets the log and sets the options (before each test).
    static void Reset(FakeDriverOptions options = {});
    // Options may be changed while the driver runs; changes take effect on
    // the next request.
    static void Change(const std::function<void(FakeDriverOptions &)> &change);
    static FakeDriverLog Log();

    static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    // The device below the function driver's device.
    static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT fdo);
    // A URB passed down from the function driver's device, waited for.
    static NTSTATUS SubmitUrb(PDEVICE_OBJECT fdo, PURB urb);
    static NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT fdo);
    static NTSTATUS VendorRequest(PDEVICE_OBJECT fdo, UCHAR request, USHORT value = 0, std::vector<uint8_t> data = {});
};

}  // namespace pnptest
