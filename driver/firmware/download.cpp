#include "download.h"

#include "../usb/transport.h"

static BOOLEAN IsInternalRecord(const LoadRecord *Record) { return Record->Address <= FIRMWARE_INTERNAL_LAST; }

// The record's data goes down as the URB's transfer buffer: the bus only
// reads OUT data, so the constant image is never written through it.
static NTSTATUS WriteRecord(PDEVICE_OBJECT AdapterDevice, PURB Urb, UCHAR Request, const LoadRecord *Record)
{
    BuildVendorRequest(Urb, Request, Record->Address, const_cast<PUCHAR>(Record->Data), Record->Length);
    Urb->UrbControlVendorClassRequest.TransferFlags = 0;
    return SubmitAdapterUrbSync(AdapterDevice, Urb);
}

// The data byte can live on the stack: it travels as the URB's transfer
// buffer, which the bus copies from while the request is in progress, not
// through a descriptor list over non-paged memory.
NTSTATUS SetCpuReset(PDEVICE_OBJECT AdapterDevice, UCHAR Value)
{
    RULE_PASSIVE();
    PURB Urb = (PURB)PoolAlloc(VENDOR_URB_SIZE);
    if (!Urb)
        return STATUS_NO_MEMORY;
    UCHAR Data = Value;
    BuildVendorRequest(Urb, FIRMWARE_LOAD_INTERNAL, FIRMWARE_CPUCS_ADDRESS, &Data, 1);
    Urb->UrbControlVendorClassRequest.TransferFlags = 0;
    NTSTATUS Status = SubmitAdapterUrbSync(AdapterDevice, Urb);
    PoolFree(&Urb);
    return Status;
}

// External records go first, while the loader the caller started still runs
// (only it can write them); the internal writes that follow overwrite it.
// A failed write ends its pass, and the load reports the first failure it
// met: a load whose external half failed did not load the image, however
// well the internal half went.
NTSTATUS LoadFirmwareImage(PDEVICE_OBJECT AdapterDevice, const LoadRecord *Image)
{
    RULE_PASSIVE();
    PURB Urb = (PURB)PoolAlloc(VENDOR_URB_SIZE);
    if (!Urb)
        return STATUS_NO_MEMORY;

    NTSTATUS Status = STATUS_SUCCESS;
    for (const LoadRecord *Record = Image; Record->Type == LOAD_RECORD_DATA; Record++) {
        if (IsInternalRecord(Record))
            continue;
        Status = WriteRecord(AdapterDevice, Urb, FIRMWARE_LOAD_EXTERNAL, Record);
        if (!NT_SUCCESS(Status))
            break;
    }
    NTSTATUS FirstFailure = Status;

    // Internal memory is written with the 8051 held, so that nothing runs
    // from a half-written program.
    SetCpuReset(AdapterDevice, 1);

    for (const LoadRecord *Record = Image; Record->Type == LOAD_RECORD_DATA; Record++) {
        if (!IsInternalRecord(Record))
            continue;
        Status = WriteRecord(AdapterDevice, Urb, FIRMWARE_LOAD_INTERNAL, Record);
        if (!NT_SUCCESS(Status))
            break;
    }

    PoolFree(&Urb);
    return NT_SUCCESS(FirstFailure) ? Status : FirstFailure;
}

// One pass of the whole sequence; the first step that fails ends it, since
// every later step builds on it (a loader that is not there writes no
// external memory, a firmware half written must not be let run).
static NTSTATUS DownloadOnce(PDEVICE_OBJECT AdapterDevice, const LoadRecord *Firmware)
{
    NTSTATUS Status = SetCpuReset(AdapterDevice, 1);
    if (NT_SUCCESS(Status))
        Status = LoadFirmwareImage(AdapterDevice, LoaderImage);
    if (NT_SUCCESS(Status))
        Status = SetCpuReset(AdapterDevice, 0);
    if (NT_SUCCESS(Status))
        Status = LoadFirmwareImage(AdapterDevice, Firmware);
    if (NT_SUCCESS(Status))
        Status = SetCpuReset(AdapterDevice, 1);
    if (NT_SUCCESS(Status))
        Status = SetCpuReset(AdapterDevice, 0);
    return Status;
}

// A transfer that failed once (a glitch on the cable, no pool for a moment)
// is worth another whole pass, from holding the 8051 again; a device that
// keeps failing is reported, not taken for a started adapter. Every failed
// pass is counted.
static NTSTATUS DownloadImages(PDEVICE_OBJECT AdapterDevice, const LoadRecord *Firmware)
{
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG Attempt = 0; Attempt < DOWNLOAD_ATTEMPTS; Attempt++) {
        Status = DownloadOnce(AdapterDevice, Firmware);
        if (NT_SUCCESS(Status))
            break;
        ErrorStats[ERROR_STAT_DOWNLOAD_FAILED]++;
    }
    return Status;
}

NTSTATUS DownloadFirmware(PDEVICE_OBJECT AdapterDevice) { return DownloadImages(AdapterDevice, MainImage); }

NTSTATUS DownloadAlternateFirmware(PDEVICE_OBJECT AdapterDevice)
{
    return DownloadImages(AdapterDevice, AlternateImage);
}
