// The Windows 98/ME Configuration Manager services the driver uses, reached
// on the real platform through VxD service calls (one stub per service, see
// cm_stubs.cpp) and implemented by the simulated platform elsewhere.
#pragma once

#include "platform.h"

typedef ULONG DEVNODE, *PDEVNODE;
typedef CHAR *DEVNODEID;
typedef ULONG CONFIGRET;

#define CR_SUCCESS 0x00000000
#define CR_ALREADY_SUCH_DEVNODE 0x00000010
#define CR_NO_SUCH_VALUE 0x00000025

#define CM_REGISTRY_SZ REG_SZ

// Services of the Configuration Manager (device id 0x0033), by number.
#define CM_SERVICE_LOCATE_DEVNODE 0x02
#define CM_SERVICE_CREATE_DEVNODE 0x0B
#define CM_SERVICE_REMOVE_SUBTREE 0x0D
#define CM_SERVICE_REENUMERATE_DEVNODE 0x33
#define CM_SERVICE_READ_REGISTRY_VALUE 0x3E
#define CM_SERVICE_WRITE_REGISTRY_VALUE 0x3F

// The services take their arguments in the C convention: the caller removes
// them, which is what lets a stub jump straight into the service.
extern "C" {
CONFIGRET __cdecl CM_Locate_DevNode(PDEVNODE pdnDevNode, DEVNODEID pDeviceID, ULONG ulFlags);
CONFIGRET __cdecl CM_Create_DevNode(PDEVNODE pdnDevNode, DEVNODEID pDeviceID, DEVNODE dnParent, ULONG ulFlags);
CONFIGRET __cdecl CM_Remove_SubTree(DEVNODE dnAncestor, ULONG ulFlags);
CONFIGRET __cdecl CM_Reenumerate_DevNode(DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET __cdecl CM_Read_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName, ULONG ulExpectedType,
                                         PVOID pBuffer, PULONG pulLength, ULONG ulFlags);
CONFIGRET __cdecl CM_Write_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName, ULONG ulType,
                                          PVOID pBuffer, ULONG ulLength, ULONG ulFlags);
}
