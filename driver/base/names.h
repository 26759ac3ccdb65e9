// The few formatted names the driver makes (device names, the enumeration
// id), built in 8-bit text buffers without a run-time printf.
#pragma once

#include "../platform/platform.h"

#define NAME_BUFFER_SIZE 256

// A bounded text being built: appends stop at the buffer's end, which is
// reported by Overflow.
struct TextBuilder {
    CHAR Text[NAME_BUFFER_SIZE];
    ULONG Length;
    BOOLEAN Overflow;
};

VOID TextStart(TextBuilder *Builder);
VOID TextAppend(TextBuilder *Builder, PCSTR Text);
VOID TextAppendDecimal(TextBuilder *Builder, ULONG Value);

// "\Device\NuvixUsb<slot>", the name of the adapter in that slot of the
// adapter table.
VOID AdapterDeviceName(TextBuilder *Builder, ULONG Slot);

// Converts the text to a counted UTF-16 string whose buffer the conversion
// allocates; release it with RtlFreeUnicodeString.
NTSTATUS TextToUnicode(TextBuilder *Builder, PUNICODE_STRING Name);

// The character a serial number carries into the names made from it (the
// port objects' names, the enumeration node's id): printable ASCII but the
// path separator and the comma; anything else becomes '_'. Neither the object
// namespace nor the Configuration Manager takes a separator inside a name
// part, and the node id takes no control character, space, comma or
// character above 0x7E.
CHAR NameSafeCharacter(UCHAR Character);

// The driver's fixed registry key and the diagnostic device's DOS link.
extern const WCHAR ParametersKeyPath[];
extern const WCHAR ControlLinkName[];
