// Each port's two data paths between its bulk pipes and the host's rings:
// at most one 64-byte read and one write of up to 64 bytes in flight. The
// start routines are called with the adapter's Lock held; what the host sees
// of their outcome is the value written to its idle words.
#pragma once

#include "../base/context.h"

#define IDLE_RUNNING 0  // a transfer is in flight
#define IDLE_STOPPED 1  // none is, and none starts until the host asks

NTSTATUS StartPortRead(PortContext *Port);
// Stdcall, like every completion routine. A test image built with
// NUVIX_WRONG_COMPLETION_CONVENTION declares this one in the C convention, a
// mistake only a 32-bit run of the image can show.
#if defined(NUVIX_WRONG_COMPLETION_CONVENTION)
#define PORT_READ_COMPLETE_API __cdecl
#define PORT_READ_COMPLETE_ROUTINE ((PIO_COMPLETION_ROUTINE)PortReadComplete)
#else
#define PORT_READ_COMPLETE_API NTAPI
#define PORT_READ_COMPLETE_ROUTINE PortReadComplete
#endif
NTSTATUS PORT_READ_COMPLETE_API PortReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
ULONG AppendRxData(HostBuffers *Buffers, const UCHAR *Source, ULONG Count);

NTSTATUS StartPortWrite(PortContext *Port);
ULONG CopyTxData(HostBuffers *Buffers, PUCHAR Destination, ULONG Count);
