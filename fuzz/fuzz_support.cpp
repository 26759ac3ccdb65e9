#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/core/configure.h"
#include "sim/usb/scripted_device.h"

namespace fuzzing {

void Fail(const std::string &why)
{
    std::fprintf(stderr, "\n*** FUZZ CHECK FAILED: %s\n", why.c_str());
    std::fflush(stderr);
    std::abort();
}

bool Tracing()
{
    static const bool tracing = [] {
        const char *text = std::getenv("NUVIX_FUZZ_TRACE");
        return text && *text && std::strcmp(text, "0") != 0;
    }();
    return tracing;
}

void NoPerInputLeakHunt(int *argc, char ***argv)
{
    for (int i = 1; i < *argc; i++)
        if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0)
            return;
    static std::vector<char *> args;
    static char flag[] = "-detect_leaks=0";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, flag);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}

void DescribeRunningAdapter(FuzzDevice &device, const std::string &serial)
{
    device.SetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0,
                         sim::usb::MakeDeviceDescriptor(0x0D28, 0x8004, SERIAL_NUMBER_STRING_INDEX));
    device.SetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sim::usb::MakeBulkConfiguration(AdapterEndpoints()));
    device.SetDescriptor(USB_STRING_DESCRIPTOR_TYPE, SERIAL_NUMBER_STRING_INDEX,
                         sim::usb::MakeStringDescriptor(std::u16string(serial.begin(), serial.end())));
}

}  // namespace fuzzing
