// Run-time library routines: strings, memory, registry and debug output.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bugcheck.h"
#include "cpu.h"
#include "registry.h"

namespace sim {

namespace {
std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}
}  // namespace

Registry &Registry::Get()
{
    static Registry instance;
    return instance;
}

void Registry::Clear()
{
    std::lock_guard lock(mutex_);
    keys_.clear();
}

void Registry::Set(const std::string &key, const std::string &name, RegistryValue value)
{
    std::lock_guard lock(mutex_);
    keys_[Lower(key)][Lower(name)] = std::move(value);
}

void Registry::SetDword(const std::string &key, const std::string &name, uint32_t value)
{
    RegistryValue v{4, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &value, 4);
    Set(key, name, std::move(v));
}

std::optional<RegistryValue> Registry::Query(const std::string &key, const std::string &name)
{
    std::lock_guard lock(mutex_);
    auto k = keys_.find(Lower(key));
    if (k == keys_.end())
        return std::nullopt;
    auto v = k->second.find(Lower(name));
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

std::optional<uint32_t> Registry::QueryDword(const std::string &key, const std::string &name)
{
    auto v = Query(key, name);
    if (!v || v->type != 4 || v->data.size() != 4)
        return std::nullopt;
    uint32_t value;
    std::memcpy(&value, v->data.data(), 4);
    return value;
}

void Registry::CreateKey(const std::string &key)
{
    std::lock_guard lock(mutex_);
    keys_[Lower(key)];
}

bool Registry::KeyExists(const std::string &key)
{
    std::lock_guard lock(mutex_);
    return keys_.count(Lower(key)) != 0;
}

DebugLog &DebugLog::Get()
{
    static DebugLog instance;
    return instance;
}

void DebugLog::Append(std::string line)
{
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> DebugLog::Lines()
{
    std::lock_guard lock(mutex_);
    return lines_;
}

void DebugLog::Clear()
{
    std::lock_guard lock(mutex_);
    lines_.clear();
}

std::string Narrow(const char16_t *text, size_t units)
{
    std::string out;
    for (size_t i = 0; i < units; i++)
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    return out;
}

std::string Narrow(const char16_t *text)
{
    size_t n = 0;
    while (text && text[n])
        n++;
    return Narrow(text, n);
}

}  // namespace sim

using sim::BugCheck;

static size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n])
        n++;
    return n;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    size_t bytes = SourceString ? WideLength(SourceString) * sizeof(WCHAR) : 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? bytes + sizeof(WCHAR) : 0);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    size_t bytes = SourceString ? std::strlen(SourceString) : 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? bytes + 1 : 0);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString)
{
    size_t bytes = SourceString->Length * sizeof(WCHAR);
    if (AllocateDestinationString) {
        DestinationString->Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x64557452));  // 'RtUd'
        if (!DestinationString->Buffer)
            return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (DestinationString->MaximumLength < bytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    for (USHORT i = 0; i < SourceString->Length; i++)
        DestinationString->Buffer[i] = static_cast<unsigned char>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(bytes);
    if (DestinationString->MaximumLength > bytes)
        DestinationString->Buffer[SourceString->Length] = 0;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (Destination->Length + Source->Length > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[40];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value);
    if (static_cast<size_t>(n) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    for (int i = 0; i < n; i++)
        String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if (String->Length + sizeof(WCHAR) <= String->MaximumLength)
        String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

VOID RtlCopyMemory(PVOID Destination, const void *Source, SIZE_T Length) { std::memcpy(Destination, Source, Length); }
VOID RtlMoveMemory(PVOID Destination, const void *Source, SIZE_T Length) { std::memmove(Destination, Source, Length); }
VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }

SIZE_T RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length)
{
    auto *a = static_cast<const unsigned char *>(Source1);
    auto *b = static_cast<const unsigned char *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}

ULONG DbgPrint(PCSTR Format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof(text), Format, args);
    va_end(args);
    sim::DebugLog::Get().Append(text);
    return 0;
}

static std::string RegistryPath(ULONG RelativeTo, PCWSTR Path)
{
    std::string path = sim::Narrow(Path);
    if ((RelativeTo & 0xFFFF) == RTL_REGISTRY_SERVICES)
        return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + path;
    if ((RelativeTo & 0xFFFF) != RTL_REGISTRY_ABSOLUTE)
        BugCheck("SIMULATION_UNSUPPORTED", "registry root " + std::to_string(RelativeTo));
    return path;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    (void)Context;
    (void)Environment;
    if (sim::Cpu().irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "RtlQueryRegistryValues above PASSIVE_LEVEL");
    std::string key = RegistryPath(RelativeTo, Path);
    sim::Registry &registry = sim::Registry::Get();
    if (!registry.KeyExists(key)) {
        if (!(RelativeTo & RTL_REGISTRY_OPTIONAL))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        // An optional key that is missing still yields the defaults.
    }
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name; entry++) {
        auto value = registry.Query(key, sim::Narrow(entry->Name));
        if (!value) {
            if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->DefaultType == REG_NONE)
                continue;
            sim::RegistryValue fallback{entry->DefaultType, {}};
            auto *bytes = static_cast<const uint8_t *>(entry->DefaultData);
            fallback.data.assign(bytes, bytes + entry->DefaultLength);
            value = fallback;
        }
        if (entry->QueryRoutine) {
            NTSTATUS status = entry->QueryRoutine(entry->Name, value->type, value->data.data(),
                                                  static_cast<ULONG>(value->data.size()), Context, entry->EntryContext);
            if (!NT_SUCCESS(status))
                return status;
            continue;
        }
        if (!(entry->Flags & RTL_QUERY_REGISTRY_DIRECT))
            BugCheck("SIMULATION_UNSUPPORTED", "RtlQueryRegistryValues entry with neither routine nor direct flag");
        if (value->type == REG_SZ) {
            // Direct string queries fill the caller's UNICODE_STRING.
            auto *target = static_cast<PUNICODE_STRING>(entry->EntryContext);
            UNICODE_STRING source;
            source.Buffer = reinterpret_cast<PWSTR>(value->data.data());
            source.Length = source.MaximumLength = static_cast<USHORT>(value->data.size());
            while (source.Length >= 2 && source.Buffer[source.Length / 2 - 1] == 0)
                source.Length -= 2;
            RtlCopyUnicodeString(target, &source);
        } else if (value->data.size() <= sizeof(ULONG)) {
            std::memcpy(entry->EntryContext, value->data.data(), value->data.size());
        } else {
            // Larger binary data: the first ULONG of the target holds the room.
            auto *room = static_cast<LONG *>(entry->EntryContext);
            if (static_cast<size_t>(*room) < value->data.size())
                return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(entry->EntryContext, value->data.data(), value->data.size());
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    if (sim::Cpu().irql != PASSIVE_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL", "RtlWriteRegistryValue above PASSIVE_LEVEL");
    std::string key = RegistryPath(RelativeTo, Path);
    if (!sim::Registry::Get().KeyExists(key))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    sim::RegistryValue value{ValueType, {}};
    auto *bytes = static_cast<const uint8_t *>(ValueData);
    value.data.assign(bytes, bytes + ValueLength);
    sim::Registry::Get().Set(key, sim::Narrow(ValueName), std::move(value));
    return STATUS_SUCCESS;
}
