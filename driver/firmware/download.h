// Loading the adapter's firmware into the 8051 of its EZ-USB chip, over the
// default control pipe, and the three images the driver carries.
//
// The chip itself answers FIRMWARE_LOAD_INTERNAL: it writes the 8051's
// internal memory and the CPU control register, whether the 8051 runs or
// not. External memory can only be written by a program on the 8051, so the
// driver first loads a small loader that answers FIRMWARE_LOAD_EXTERNAL, then
// the firmware proper: its external records through the loader while the
// loader runs, then (8051 held in reset) its internal records through the
// chip. Releasing the 8051 starts the firmware, which leaves the bus and
// comes back as the running adapter (bit 15 of idProduct set).
#pragma once

#include "../base/context.h"

#define FIRMWARE_LOAD_INTERNAL 0xA0
#define FIRMWARE_LOAD_EXTERNAL 0xA3
// The 8051's CPU control register, written through FIRMWARE_LOAD_INTERNAL:
// 1 holds the 8051 in reset, 0 lets it run.
#define FIRMWARE_CPUCS_ADDRESS 0x7F92
// The last address of internal memory; records above it are external.
#define FIRMWARE_INTERNAL_LAST 0x1B3F

#define LOAD_RECORD_DATA 0  // any other type ends an image (images end with 1)
#define LOAD_RECORD_END 1
#define LOAD_RECORD_MAX_DATA 16

// One write of up to 16 bytes, as the images are stored in the driver.
#pragma pack(push, 1)
struct LoadRecord {
    UCHAR Length;  // 1..16 in images
    UCHAR Fill0;
    USHORT Address;  // little-endian, as the platform stores it
    UCHAR Type;
    UCHAR Data[LOAD_RECORD_MAX_DATA];  // zero past Length
    UCHAR Fill1;
};
#pragma pack(pop)
static_assert(sizeof(LoadRecord) == 22, "a load record is 22 bytes");

// An image is read up to, not including, its first record whose Type is not
// LOAD_RECORD_DATA. The tables are generated at build time from
// driver/firmware/images/*.hex (see cmake/hex_to_records.cmake).
extern const LoadRecord LoaderImage[];
extern const LoadRecord MainImage[];
extern const LoadRecord AlternateImage[];

// All of these run at PASSIVE_LEVEL and send one synchronous control
// transfer per write through the adapter's lower device.

// Writes Value to the CPU control register. STATUS_NO_MEMORY when the request
// block cannot be allocated (nothing is sent then), else the transfer's status.
NTSTATUS SetCpuReset(PDEVICE_OBJECT AdapterDevice, UCHAR Value);

// Writes the image's external records (through the loader), holds the 8051
// in reset, then writes its internal records. A failed write ends its pass;
// the hold between the passes is always attempted. Returns STATUS_NO_MEMORY
// when the request block cannot be allocated (nothing is sent then), else the
// status of the first write that failed, or of the last one written, or
// STATUS_SUCCESS when the image has no records.
NTSTATUS LoadFirmwareImage(PDEVICE_OBJECT AdapterDevice, const LoadRecord *Image);

// How many times a download is tried before it is reported failed.
#define DOWNLOAD_ATTEMPTS 3

// Loader, then the main (or alternate) firmware, then a reset pulse that
// starts it; the device then leaves the bus and comes back running it. A
// step that fails ends the pass, and the whole pass is tried again, up to
// DOWNLOAD_ATTEMPTS times, each failed pass counted in ErrorStats. Returns
// STATUS_SUCCESS, or the status of the failed step of the last pass.
NTSTATUS DownloadFirmware(PDEVICE_OBJECT AdapterDevice);
NTSTATUS DownloadAlternateFirmware(PDEVICE_OBJECT AdapterDevice);
