// The platform's loader for the real driver image (nuvixusb.sys, built by the
// target preset), in the 32-bit host build only: the image is mapped into
// this process as the platform maps it and then runs in the simulation as
// the driver, through its entry point and its one export.
//
// Load checks the image first and refuses, with a message naming what is
// wrong, one that is not a 32-bit x86 native-subsystem image, does not
// export exactly _RbGetServiceTable@0, imports from a module other than
// ntoskrnl.exe, HAL.dll and USBD.SYS, imports by ordinal, or imports a
// routine the simulation does not provide (named in the message). It then
// maps the headers and each section at its address, relative to a base of
// its own (read, write and execute), applies the base relocations and binds
// every import to the simulation's routine of that name, which has the
// platform's calling convention (import_bindings.h).
//
// The image's Configuration Manager stubs (int 20h and the service's dword)
// trap into the simulation (config_trap.h) while the image is loaded.
#pragma once

#if defined(NUVIX_HOST32)

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/platform/host_serial.h"

namespace sim::loader {

typedef const ServiceTableRecord *(HOSTAPI *ServiceTableGetter)(VOID);

struct LoadResult;
// Loads an image from its bytes (the file's contents); name is how bug
// checks tell addresses inside it (image+offset).
LoadResult LoadImage(const std::vector<uint8_t> &file, const std::string &name = "driver image");

class LoadedImage {
public:
    ~LoadedImage();
    LoadedImage(const LoadedImage &) = delete;
    LoadedImage &operator=(const LoadedImage &) = delete;

    // The image's entry point, which is its DriverEntry.
    PDRIVER_INITIALIZE Entry() const { return entry_; }
    // Its export _RbGetServiceTable@0.
    ServiceTableGetter GetServiceTable() const { return getServiceTable_; }
    const uint8_t *Base() const { return base_; }
    size_t Size() const { return size_; }
    // Where the image was built to be loaded; Base() minus this is the delta
    // the relocations applied.
    uint32_t PreferredBase() const { return preferredBase_; }
    // Bound imports, "module!name" each, in the image's order.
    const std::vector<std::string> &Imports() const { return imports_; }

private:
    friend LoadResult LoadImage(const std::vector<uint8_t> &file, const std::string &name);
    LoadedImage() = default;

    uint8_t *base_ = nullptr;
    size_t size_ = 0;
    uint32_t preferredBase_ = 0;
    PDRIVER_INITIALIZE entry_ = nullptr;
    ServiceTableGetter getServiceTable_ = nullptr;
    std::vector<std::string> imports_;
};

struct LoadResult {
    std::unique_ptr<LoadedImage> image;  // null when refused
    std::string error;                   // why, when refused
};

// Reads and loads the image file; a file that cannot be read is refused too.
LoadResult LoadImageFile(const std::string &path);

}  // namespace sim::loader

#endif
