// The host's serial I/O-control requests for a port: settings kept in the
// port context and sent to the firmware, modem lines, purge, and the bind
// that hands over the host's rings and callbacks.
#include "../command/command_queue.h"
#include "../port/data_paths.h"
#include "../port/reset_pipe.h"
#include "../usb/transport.h"
#include "port_lookup.h"
#include "serial_settings.h"
#include "service_table.h"

struct ControlRequest {
    PortContext *Port;
    const UCHAR *Input;
    ULONG InputLength;
    PUCHAR Output;
    ULONG OutputLength;

    BOOLEAN HasInput(ULONG Needed) const { return Input && InputLength >= Needed; }
    BOOLEAN HasOutput(ULONG Needed) const { return Output && OutputLength >= Needed; }
};

static const UCHAR ParityCodes[] = {'n', 'o', 'e', '1', '0'};  // by the serial interface's parity value

VOID SetDefaultPortSettings(PortContext *Port)
{
    PUCHAR Settings = Port->PortSettings;
    ULONG Baud = 9600;
    Settings[SETTING_PORT] = Port->PortNumber;
    RtlCopyMemory(&Settings[SETTING_BAUD], &Baud, sizeof(Baud));
    Settings[SETTING_DATA_BITS] = 8;
    Settings[SETTING_STOP_CODE] = 1;
    Settings[SETTING_PARITY] = 'n';
    Settings[SETTING_SOFT_FLOW] = 'n';
    Settings[SETTING_XOFF] = CHAR_XOFF;
    Settings[SETTING_XON] = CHAR_XON;
    Settings[SETTING_HANDSHAKE] = HANDSHAKE_DEFAULT;
    Settings[SETTING_ZERO] = 0;
}

// A command the firmware got but did not answer in time is taken as sent,
// as before; one that could not even be queued (no pool, a stop or removal
// under way) means the setting was not applied, and the host hears so.
static BOOLEAN Sent(NTSTATUS Status) { return NT_SUCCESS(Status) || Status == STATUS_IO_TIMEOUT; }

static BOOLEAN SendSetup(PortContext *Port)
{
    return Sent(SendCommand(Port->Adapter, CMD_SETUP, Port->PortSettings, PORT_SETTINGS_SIZE));
}

static BOOLEAN SendLineCommand(PortContext *Port, UCHAR Code, BOOLEAN On)
{
    UCHAR Payload[2] = {Port->PortNumber, (UCHAR)(On ? 1 : 0)};
    return Sent(SendCommand(Port->Adapter, Code, Payload, sizeof(Payload)));
}

// Runs Copy under the adapter's Lock: the settings and the records kept
// beside them change only under it.
template <typename F>
static VOID UnderLock(PortContext *Port, F Copy)
{
    LockAcquire(&Port->Adapter->Lock);
    Copy();
    LockRelease(&Port->Adapter->Lock);
}

// The stored settings and the handflow record kept beside them.
struct StoredSettings {
    UCHAR Settings[PORT_SETTINGS_SIZE];
    ULONG HandFlow[4];
};

static VOID Store(PortContext *Port, StoredSettings *Stored)
{
    RtlCopyMemory(Stored->Settings, Port->PortSettings, sizeof(Stored->Settings));
    RtlCopyMemory(Stored->HandFlow, Port->HandFlow, sizeof(Stored->HandFlow));
}

static BOOLEAN StillAsStored(const PortContext *Port, const StoredSettings *Stored)
{
    for (ULONG i = 0; i < PORT_SETTINGS_SIZE; i++)
        if (Port->PortSettings[i] != Stored->Settings[i])
            return FALSE;
    for (ULONG i = 0; i < 4; i++)
        if (Port->HandFlow[i] != Stored->HandFlow[i])
            return FALSE;
    return TRUE;
}

// Makes a settings change under Lock and sends the setup. The stored
// settings say what the firmware was last sent, and the get requests report
// them: a setup that could not even be queued puts back what the change
// wrote, so the host, told the setting did not apply, never reads it back
// as if it had. A change another request made meanwhile is left standing.
template <typename F>
static BOOLEAN ChangeSettings(PortContext *Port, F Change)
{
    StoredSettings Before, After;
    UnderLock(Port, [&] {
        Store(Port, &Before);
        Change();
        Store(Port, &After);
    });
    if (SendSetup(Port))
        return TRUE;
    UnderLock(Port, [&] {
        if (StillAsStored(Port, &After)) {
            RtlCopyMemory(Port->PortSettings, Before.Settings, sizeof(Before.Settings));
            RtlCopyMemory(Port->HandFlow, Before.HandFlow, sizeof(Before.HandFlow));
        }
    });
    return FALSE;
}

static BOOLEAN SetBaudRate(const ControlRequest &Request)
{
    if (!Request.HasInput(sizeof(ULONG)))
        return TRUE;
    return ChangeSettings(Request.Port,
                          [&] { RtlCopyMemory(&Request.Port->PortSettings[SETTING_BAUD], Request.Input, 4); });
}

static VOID GetBaudRate(const ControlRequest &Request)
{
    if (Request.HasOutput(sizeof(ULONG)))
        UnderLock(Request.Port, [&] { RtlCopyMemory(Request.Output, &Request.Port->PortSettings[SETTING_BAUD], 4); });
}

static BOOLEAN SetLineControl(const ControlRequest &Request)
{
    if (!Request.HasInput(sizeof(SERIAL_LINE_CONTROL)))
        return TRUE;
    SERIAL_LINE_CONTROL Line;
    RtlCopyMemory(&Line, Request.Input, sizeof(Line));
    if (Line.WordLength < 5 || Line.WordLength > 8 || Line.Parity > SPACE_PARITY)
        return TRUE;
    UCHAR StopCode;
    if (Line.StopBits == STOP_BIT_1)
        StopCode = 1;
    else if (Line.StopBits == STOP_BITS_1_5 && Line.WordLength == 5)
        StopCode = 2;
    else if (Line.StopBits == STOP_BITS_2 && Line.WordLength >= 6)
        StopCode = 2;
    else
        return TRUE;
    return ChangeSettings(Request.Port, [&] {
        Request.Port->PortSettings[SETTING_DATA_BITS] = Line.WordLength;
        Request.Port->PortSettings[SETTING_STOP_CODE] = StopCode;
        Request.Port->PortSettings[SETTING_PARITY] = ParityCodes[Line.Parity];
    });
}

static VOID GetLineControl(const ControlRequest &Request)
{
    if (!Request.HasOutput(sizeof(SERIAL_LINE_CONTROL)))
        return;
    SERIAL_LINE_CONTROL Line;
    UnderLock(Request.Port, [&] {
        const UCHAR *Settings = Request.Port->PortSettings;
        Line.WordLength = Settings[SETTING_DATA_BITS];
        Line.Parity = NO_PARITY;
        for (UCHAR Parity = 0; Parity < sizeof(ParityCodes); Parity++)
            if (ParityCodes[Parity] == Settings[SETTING_PARITY])
                Line.Parity = Parity;
        if (Settings[SETTING_STOP_CODE] == 2)
            Line.StopBits = Settings[SETTING_DATA_BITS] == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
        else
            Line.StopBits = STOP_BIT_1;
    });
    RtlCopyMemory(Request.Output, &Line, sizeof(Line));
}

static BOOLEAN SetHandFlow(const ControlRequest &Request)
{
    if (!Request.HasInput(sizeof(SERIAL_HANDFLOW)))
        return TRUE;
    SERIAL_HANDFLOW Flow;
    RtlCopyMemory(&Flow, Request.Input, sizeof(Flow));
    if ((Flow.ControlHandShake & SERIAL_CONTROL_INVALID) || (Flow.FlowReplace & SERIAL_FLOW_INVALID))
        return TRUE;
    UCHAR SoftFlow = 'n';
    if ((Flow.FlowReplace & SERIAL_AUTO_TRANSMIT) && (Flow.FlowReplace & SERIAL_AUTO_RECEIVE))
        SoftFlow = 'b';
    else if (Flow.FlowReplace & SERIAL_AUTO_TRANSMIT)
        SoftFlow = 't';
    else if (Flow.FlowReplace & SERIAL_AUTO_RECEIVE)
        SoftFlow = 'r';
    UCHAR Handshake = 0;
    if (Flow.FlowReplace & SERIAL_RTS_HANDSHAKE)
        Handshake |= HANDSHAKE_RTS;
    if (Flow.ControlHandShake & SERIAL_CTS_HANDSHAKE)
        Handshake |= HANDSHAKE_CTS;
    if (Flow.ControlHandShake & SERIAL_DTR_HANDSHAKE)
        Handshake |= HANDSHAKE_DTR;
    if (Flow.ControlHandShake & SERIAL_DSR_HANDSHAKE)
        Handshake |= HANDSHAKE_DSR;
    // All three go out even when one could not: each stands on its own.
    BOOLEAN Applied = ChangeSettings(Request.Port, [&] {
        RtlCopyMemory(Request.Port->HandFlow, &Flow, sizeof(Flow));
        Request.Port->PortSettings[SETTING_SOFT_FLOW] = SoftFlow;
        Request.Port->PortSettings[SETTING_HANDSHAKE] = Handshake;
    });
    Applied &= SendLineCommand(Request.Port, CMD_SET_DTR, (Flow.ControlHandShake & SERIAL_DTR_CONTROL) != 0);
    Applied &= SendLineCommand(Request.Port, CMD_SET_RTS, (Flow.FlowReplace & SERIAL_RTS_CONTROL) != 0);
    return Applied;
}

static VOID GetHandFlow(const ControlRequest &Request)
{
    if (Request.HasOutput(sizeof(SERIAL_HANDFLOW)))
        UnderLock(Request.Port,
                  [&] { RtlCopyMemory(Request.Output, Request.Port->HandFlow, sizeof(SERIAL_HANDFLOW)); });
}

static VOID SetChars(const ControlRequest &Request)
{
    if (Request.HasInput(sizeof(SERIAL_CHARS)))
        UnderLock(Request.Port, [&] { RtlCopyMemory(Request.Port->Chars, Request.Input, sizeof(SERIAL_CHARS)); });
}

static VOID GetChars(const ControlRequest &Request)
{
    if (Request.HasOutput(sizeof(SERIAL_CHARS)))
        UnderLock(Request.Port, [&] { RtlCopyMemory(Request.Output, Request.Port->Chars, sizeof(SERIAL_CHARS)); });
}

static VOID GetModemStatus(const ControlRequest &Request)
{
    if (!Request.HasOutput(sizeof(ULONG)))
        return;
    ULONG Status = Request.Port->ModemStatus;
    RtlCopyMemory(Request.Output, &Status, sizeof(Status));
    // The driver's one debug message, kept on purpose: it is how a debugger
    // watching the host's polling sees the modem lines without stopping it.
    DbgPrint("Get ModemStatus %x\n", Status);
}

// An empty input is ignored like every other request that is too short.
static VOID InsertLineStatus(const ControlRequest &Request)
{
    if (!Request.HasInput(1))
        return;
    UCHAR Escape = Request.Input[0];
    PortContext *Port = Request.Port;
    UnderLock(Port, [&] {
        const SERIAL_CHARS *Chars = (const SERIAL_CHARS *)Port->Chars;
        SERIAL_HANDFLOW Flow;
        RtlCopyMemory(&Flow, Port->HandFlow, sizeof(Flow));
        if (Escape == 0)
            Port->EscapeChar = 0;
        else if (Escape != Chars->XoffChar && Escape != Chars->XonChar && !(Flow.FlowReplace & SERIAL_ERROR_CHAR))
            Port->EscapeChar = Escape;
    });
}

static BOOLEAN WriteInFlight(PortContext *Port)
{
    BOOLEAN InFlight = FALSE;
    UnderLock(Port, [&] { InFlight = Port->WriteIrp != NULL; });
    return InFlight;
}

static VOID Purge(const ControlRequest &Request)
{
    if (!Request.HasInput(sizeof(ULONG)))
        return;
    ULONG Mask;
    RtlCopyMemory(&Mask, Request.Input, sizeof(Mask));
    if (Mask == 0 || (Mask & 0xFFFFFFF0) || !(Mask & SERIAL_PURGE_TXABORT) || !WriteInFlight(Request.Port))
        return;
    AbandonPortWrite(Request.Port);
    UnderLock(Request.Port, [&] { StartPortWrite(Request.Port); });
}

static VOID Bind(const ControlRequest &Request)
{
    // The host's record: nine 32-bit values on the platform.
    if (!Request.HasInput(sizeof(HostBinding)))
        return;
    PortContext *Port = Request.Port;
    if (WriteInFlight(Port))
        AbandonPortWrite(Port);
    UnderLock(Port, [&] {
        RtlCopyMemory(&Port->HostBinding, Request.Input, sizeof(HostBinding));
        StartPortRead(Port);
        StartPortWrite(Port);
    });
    QueueCommand(Port->Adapter, CMD_GET_STATUS, &Port->PortNumber, 1);
    UnderLock(Port, [&] { Port->BindPending = FALSE; });
}

BOOLEAN HOSTAPI PortControl(HostPortHandle Handle, ULONG IoControlCode, PVOID InputBuffer, ULONG InputLength,
                            PVOID OutputBuffer, ULONG OutputLength)
{
    RULE_PASSIVE();
    PortContext *Port = EnterPort(Handle, FALSE);
    if (!Port)
        return FALSE;
    ControlRequest Request = {Port, (const UCHAR *)InputBuffer, InputLength, (PUCHAR)OutputBuffer, OutputLength};
    // FALSE only when a setting could not be sent to the firmware; a request
    // that is malformed, too short or unknown is ignored and still answered.
    BOOLEAN Applied = TRUE;
    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        Applied = SetBaudRate(Request);
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        GetBaudRate(Request);
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        Applied = SetLineControl(Request);
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        GetLineControl(Request);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        Applied = SetHandFlow(Request);
        break;
    case IOCTL_SERIAL_GET_HANDFLOW:
        GetHandFlow(Request);
        break;
    case IOCTL_SERIAL_SET_CHARS:
        SetChars(Request);
        break;
    case IOCTL_SERIAL_GET_CHARS:
        GetChars(Request);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        Applied = SendLineCommand(Port, CMD_SET_BREAK, TRUE);
        break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        Applied = SendLineCommand(Port, CMD_SET_BREAK, FALSE);
        break;
    case IOCTL_SERIAL_SET_DTR:
        Applied = SendLineCommand(Port, CMD_SET_DTR, TRUE);
        break;
    case IOCTL_SERIAL_CLR_DTR:
        Applied = SendLineCommand(Port, CMD_SET_DTR, FALSE);
        break;
    case IOCTL_SERIAL_SET_RTS:
        Applied = SendLineCommand(Port, CMD_SET_RTS, TRUE);
        break;
    case IOCTL_SERIAL_CLR_RTS:
        Applied = SendLineCommand(Port, CMD_SET_RTS, FALSE);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        GetModemStatus(Request);
        break;
    case IOCTL_SERIAL_LSRMST_INSERT:
        InsertLineStatus(Request);
        break;
    case IOCTL_SERIAL_PURGE:
        Purge(Request);
        break;
    case IOCTL_PORT_BIND:
        Bind(Request);
        break;
    default:
        break;
    }
    ReleaseIoRef(Port->Adapter);
    return Applied;
}
