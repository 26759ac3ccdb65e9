// How the driver talks to the USB bus driver: the URB kinds it builds,
// synchronous and asynchronous submission, and cancelling an in-flight
// transfer.
#pragma once

#include "../base/kernel.h"

// --- URB kinds -------------------------------------------------------------
VOID BuildDescriptorRequest(PURB Urb, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId, PVOID Buffer,
                            ULONG BufferSize);
VOID BuildVendorRequest(PURB Urb, UCHAR Request, USHORT Value, PVOID Data, ULONG Length);
VOID BuildPipeReset(PURB Urb, PUSBD_PIPE_INFORMATION Pipe);
VOID BuildDeselectConfiguration(PURB Urb);

// Sizes of the URB kinds the driver allocates itself.
#define BULK_TRANSFER_URB_SIZE sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
#define DESCRIPTOR_URB_SIZE sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
#define VENDOR_URB_SIZE sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
#define PIPE_REQUEST_URB_SIZE sizeof(struct _URB_PIPE_REQUEST)
#define DESELECT_URB_SIZE sizeof(struct _URB_SELECT_CONFIGURATION)

// --- Synchronous submission (PASSIVE_LEVEL) --------------------------------
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb);
// The same, addressed through the adapter's own device object.
NTSTATUS SubmitAdapterUrbSync(PDEVICE_OBJECT AdapterDevice, PURB Urb);

// --- Asynchronous bulk transfers (up to DISPATCH_LEVEL) --------------------
struct BulkTransfer {
    AdapterContext *Adapter;
    PDEVICE_OBJECT LowerDevice;
    PUSBD_PIPE_INFORMATION Pipe;
    ULONG TransferFlags;
    PVOID Buffer;
    ULONG Length;
    PURB Urb;            // reused; cleared and filled per transfer
    PIRP *InFlightSlot;  // set before the request goes down
    PIO_COMPLETION_ROUTINE Completion;
    PVOID Context;
    LockRecord *HeldLock;  // the lock the caller holds, or null
};

#define BULK_FLAGS_READ (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
#define BULK_FLAGS_COMMAND_WRITE USBD_TRANSFER_DIRECTION_OUT
#define BULK_FLAGS_PORT_WRITE (USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK)

// Builds the request and stores it in the slot, then passes it down: at once
// when the caller holds no lock, else when the caller releases HeldLock (the
// result is then STATUS_PENDING). Callers do not use the result beyond
// STATUS_INSUFFICIENT_RESOURCES, which leaves the slot empty.
NTSTATUS SubmitUrbAsync(const BulkTransfer *Transfer);

// Whether a completion routine may start its pipe's next transfer: not once
// removal has begun, nor while a stop is cancelling what is in flight (a new
// transfer would start behind the cancels and outlive the stop). Every
// completion routine asks this before it re-arms, and StartBulkTransfer
// refuses what it refuses. With the adapter's Lock held.
BOOLEAN MayReArm(AdapterContext *Adapter);

// The driver's bulk transfers, all started with the adapter's Lock held:
// SubmitUrbAsync to the adapter's lower device, passed down on LockRelease.
NTSTATUS StartBulkTransfer(AdapterContext *Adapter, PUSBD_PIPE_INFORMATION Pipe, ULONG TransferFlags, PVOID Buffer,
                           ULONG Length, PURB Urb, PIRP *InFlightSlot, PIO_COMPLETION_ROUTINE Completion,
                           PVOID Context);

// The two halves of a driver-allocated request's next stack location.
VOID SetTransferCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Completion, PVOID Context);
VOID SetSubmitUrbParameters(PIRP Irp, PURB Urb);

// Step 2 of every bulk completion routine, with Lock held: frees the request's
// descriptor list and the request, and empties the in-flight slot.
VOID ReleaseCompletedTransfer(AdapterContext *Adapter, PIRP Irp, PIRP *InFlightSlot);

// Prepares the fields CancelAndWait and the completion routines share.
VOID InitTransferTracking(AdapterContext *Adapter);

// Waits (PASSIVE_LEVEL, no lock held) until no bulk transfer of the adapter
// is in flight any more.
VOID WaitForTransfersIdle(AdapterContext *Adapter);

// Cancels the transfer in the slot (if any) and waits up to 0.5 s for Event.
VOID CancelAndWait(AdapterContext *Adapter, PIRP *InFlightSlot, PKEVENT Event);
VOID CancelPortIo(AdapterContext *Adapter);
