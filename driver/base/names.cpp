#include "names.h"

const WCHAR ParametersKeyPath[] =
    NT_TEXT("\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\NUVIXUSB\\Parameters");
const WCHAR ControlLinkName[] = NT_TEXT("\\DosDevices\\ZerafinTest");

CHAR NameSafeCharacter(UCHAR Character)
{
    if (Character <= ' ' || Character > '~' || Character == '\\' || Character == ',')
        return '_';
    return (CHAR)Character;
}

VOID TextStart(TextBuilder *Builder)
{
    Builder->Length = 0;
    Builder->Overflow = FALSE;
    Builder->Text[0] = 0;
}

VOID TextAppend(TextBuilder *Builder, PCSTR Text)
{
    while (*Text) {
        if (Builder->Length + 1 >= NAME_BUFFER_SIZE) {
            Builder->Overflow = TRUE;
            break;
        }
        Builder->Text[Builder->Length++] = *Text++;
    }
    Builder->Text[Builder->Length] = 0;
}

VOID TextAppendDecimal(TextBuilder *Builder, ULONG Value)
{
    CHAR Digits[12];
    int Count = 0;
    do {
        Digits[Count++] = (CHAR)('0' + Value % 10);
        Value /= 10;
    } while (Value);
    CHAR Text[12];
    for (int i = 0; i < Count; i++)
        Text[i] = Digits[Count - 1 - i];
    Text[Count] = 0;
    TextAppend(Builder, Text);
}

VOID AdapterDeviceName(TextBuilder *Builder, ULONG Slot)
{
    TextStart(Builder);
    TextAppend(Builder, "\\Device\\NuvixUsb");
    TextAppendDecimal(Builder, Slot);
}

NTSTATUS TextToUnicode(TextBuilder *Builder, PUNICODE_STRING Name)
{
    if (Builder->Overflow)
        return STATUS_OBJECT_NAME_INVALID;
    ANSI_STRING Text;
    RtlInitAnsiString(&Text, Builder->Text);
    return RtlAnsiStringToUnicodeString(Name, &Text, TRUE);
}
