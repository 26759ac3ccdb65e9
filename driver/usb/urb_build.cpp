#include "transport.h"

// Only the listed fields are written: callers reuse the block for the
// configuration descriptor's two reads.
VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                            ULONG BufferSize)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request = &Urb->UrbControlDescriptorRequest;
    Request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Request->TransferBufferLength = BufferSize;
    Request->TransferBuffer = Buffer;
    Request->TransferBufferMDL = NULL;
    Request->DescriptorType = DescriptorType;
    Request->Index = Index;
    Request->LanguageId = LanguageId;
    Request->UrbLink = NULL;
}

VOID BuildVendorRequest(PURB Urb, UCHAR Request, USHORT Value, PVOID Data, ULONG Length)
{
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *Vendor = &Urb->UrbControlVendorClassRequest;
    RtlZeroMemory(Vendor, sizeof(*Vendor));
    Vendor->Hdr.Length = sizeof(*Vendor);
    Vendor->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    Vendor->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    Vendor->TransferBufferLength = Length;
    Vendor->TransferBuffer = Data;
    Vendor->TransferBufferMDL = NULL;
    Vendor->UrbLink = NULL;
    Vendor->RequestTypeReservedBits = 0;
    Vendor->Request = Request;
    Vendor->Value = Value;
    Vendor->Index = 0;
}

VOID BuildPipeReset(PURB Urb, PUSBD_PIPE_INFORMATION Pipe)
{
    struct _URB_PIPE_REQUEST *Reset = &Urb->UrbPipeRequest;
    RtlZeroMemory(Reset, sizeof(*Reset));
    Reset->Hdr.Length = sizeof(*Reset);
    Reset->Hdr.Function = URB_FUNCTION_RESET_PIPE;
    Reset->PipeHandle = Pipe->PipeHandle;
}

// A select-configuration request with no descriptor puts the device into the
// unconfigured state; the block has room for one interface with one pipe.
VOID BuildDeselectConfiguration(PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *Select = &Urb->UrbSelectConfiguration;
    Select->Hdr.Length = sizeof(*Select);
    Select->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    Select->ConfigurationDescriptor = NULL;
}
