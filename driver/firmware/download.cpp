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
    return Status;
}

static NTSTATUS DownloadImages(PDEVICE_OBJECT AdapterDevice, const LoadRecord *Firmware)
{
    SetCpuReset(AdapterDevice, 1);
    LoadFirmwareImage(AdapterDevice, LoaderImage);
    SetCpuReset(AdapterDevice, 0);
    LoadFirmwareImage(AdapterDevice, Firmware);
    SetCpuReset(AdapterDevice, 1);
    SetCpuReset(AdapterDevice, 0);
    return STATUS_SUCCESS;
}

NTSTATUS DownloadFirmware(PDEVICE_OBJECT AdapterDevice) { return DownloadImages(AdapterDevice, MainImage); }

NTSTATUS DownloadAlternateFirmware(PDEVICE_OBJECT AdapterDevice)
{
    return DownloadImages(AdapterDevice, AlternateImage);
}
