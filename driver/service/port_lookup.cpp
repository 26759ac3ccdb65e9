#include "port_lookup.h"

#include "../base/adapter_table.h"
#include "../base/kernel.h"

// The name starts at a fixed offset of the host's record: the adapter's
// serial number, then a suffix whose last character is the port index. Only
// the low byte of each UTF-16 unit counts, here and in the comparison.
PortContext *LookupPort(HostPortHandle Handle)
{
    if (!Handle)
        return NULL;
    const USHORT *Name = (const USHORT *)((const UCHAR *)Handle + HOST_PORT_NAME_OFFSET);
    ULONG Length = 0;
    while ((UCHAR)Name[Length] != 0)
        Length++;
    if (Length == 0)
        return NULL;
    UCHAR PortIndex = (UCHAR)((UCHAR)Name[Length - 1] - '0');
    if (PortIndex >= PORTS_PER_ADAPTER)
        return NULL;

    AdapterContext *Adapter = FindAdapterByNameLocked(Name, Length);
    return Adapter ? Adapter->Ports[PortIndex] : NULL;
}

// The flags change under Lock on other threads (completions, Plug and Play),
// so they are read under it too.
BOOLEAN IsPortValid(PortContext *Port, BOOLEAN ForOpen)
{
    AdapterContext *Adapter = Port->Adapter;
    LockAcquire(&Adapter->Lock);
    BOOLEAN Valid = !Port->Deleted && Adapter->Configured && !Adapter->Removed && !Adapter->RemovePending &&
                    (ForOpen || Port->Open);
    LockRelease(&Adapter->Lock);
    return Valid;
}

PortContext *EnterPort(HostPortHandle Handle, BOOLEAN ForOpen)
{
    KIRQL Previous;
    KeAcquireSpinLock(&AdapterTableLock, &Previous);
    PortContext *Port = LookupPort(Handle);
    if (Port)
        AcquireIoRef(Port->Adapter);
    KeReleaseSpinLock(&AdapterTableLock, Previous);
    if (Port && !IsPortValid(Port, ForOpen)) {
        ReleaseIoRef(Port->Adapter);
        return NULL;
    }
    return Port;
}
