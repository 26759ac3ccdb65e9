#include "enum_node.h"

#include "../base/names.h"
#include "../platform/cm.h"

static CHAR ClassName[] = "Class";
static CHAR ClassValue[] = "Usb";
static CHAR HardwareIdName[] = "HardwareID";
static CHAR HardwareIdValue[] = "NUVIX4";

BOOLEAN CreateEnumNode(AdapterContext *Adapter)
{
    DEVNODE Root = 0;
    CM_Locate_DevNode(&Root, NULL, 0);
    TextBuilder Id;
    TextStart(&Id);
    TextAppend(&Id, "Belmorin\\NUVIX4\\DEV_");
    TextAppend(&Id, Adapter->SerialNumber);

    DEVNODE Node = 0;
    CONFIGRET Result = CM_Create_DevNode(&Node, Id.Text, Root, 0);
    if (Result == CR_ALREADY_SUCH_DEVNODE) {
        Adapter->EnumNode = Node;
        return TRUE;
    }
    if (Result != CR_SUCCESS) {
        Adapter->EnumNode = 0;
        return FALSE;
    }
    CHAR Class[NAME_BUFFER_SIZE];
    ULONG Length = sizeof(Class);
    if (CM_Read_Registry_Value(Node, NULL, ClassName, REG_SZ, Class, &Length, 0) == CR_NO_SUCH_VALUE) {
        CM_Write_Registry_Value(Node, NULL, ClassName, REG_SZ, ClassValue, sizeof(ClassValue), 0);
        CM_Write_Registry_Value(Node, NULL, HardwareIdName, REG_SZ, HardwareIdValue, sizeof(HardwareIdValue), 0);
    }
    CM_Reenumerate_DevNode(Node, 0);
    Adapter->EnumNode = Node;
    return TRUE;
}

VOID RemoveEnumNode(ULONG EnumNode)
{
    if (EnumNode)
        CM_Remove_SubTree(EnumNode, 0);
}
