// One stub per Configuration Manager service: the VxD service call (int 20h
// followed by the service's 32-bit identifier: device id in the high word,
// service number in the low word) in its jump form (bit 15 of the service
// number set), so the service returns straight to the stub's caller.
#include "cm.h"

#if defined(NUVIX_TARGET)

#define CM_VXD_ID 0x0033
#define CM_JUMP_FORM 0x8000

#define CM_SERVICE_CALL(Service) \
    __asm__ volatile(".byte 0xCD, 0x20\n\t.long %c0" ::"i"((CM_VXD_ID << 16) | CM_JUMP_FORM | (Service)))

// Naked: the arguments stay where the caller put them, for the service.
extern "C" {
__attribute__((naked)) CONFIGRET __cdecl CM_Locate_DevNode(PDEVNODE, DEVNODEID, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_LOCATE_DEVNODE);
}
__attribute__((naked)) CONFIGRET __cdecl CM_Create_DevNode(PDEVNODE, DEVNODEID, DEVNODE, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_CREATE_DEVNODE);
}
__attribute__((naked)) CONFIGRET __cdecl CM_Remove_SubTree(DEVNODE, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_REMOVE_SUBTREE);
}
__attribute__((naked)) CONFIGRET __cdecl CM_Reenumerate_DevNode(DEVNODE, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_REENUMERATE_DEVNODE);
}
__attribute__((naked)) CONFIGRET __cdecl CM_Read_Registry_Value(DEVNODE, PCHAR, PCHAR, ULONG, PVOID, PULONG, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_READ_REGISTRY_VALUE);
}
__attribute__((naked)) CONFIGRET __cdecl CM_Write_Registry_Value(DEVNODE, PCHAR, PCHAR, ULONG, PVOID, ULONG, ULONG)
{
    CM_SERVICE_CALL(CM_SERVICE_WRITE_REGISTRY_VALUE);
}
}

#endif
