// The adapter's firmware command channel: commands are framed into nodes,
// queued in order and written one at a time on the command OUT pipe; a caller
// that needs the firmware's answer waits up to 1 s for its port's event.
#pragma once

#include "../base/context.h"
#include "../base/protocol.h"

// One queued command: owned by CommandQueue until its write starts, then by
// CurrentCommand until the write completes.
struct CommandNode {
    LIST_ENTRY Links;
    ULONG FrameLength;
    UCHAR Frame[COMMAND_FRAME_MAX];
};

// Queues a command and, for the commands that have one, waits up to 1 s for
// its answer. STATUS_SUCCESS: queued (and answered, where an answer is
// awaited); STATUS_IO_TIMEOUT: queued, no answer in time; any other failure:
// not queued (no port by that number, no pool, a stop or removal under way).
NTSTATUS SendCommand(AdapterContext *Adapter, UCHAR Code, const UCHAR *Payload, ULONG PayloadLength);
// The same as a yes or no: queued, and answered where an answer is awaited.
BOOLEAN QueueCommand(AdapterContext *Adapter, UCHAR Code, const UCHAR *Payload, ULONG PayloadLength);
// With Lock held: starts the next write unless one is in flight.
VOID KickCommandSender(AdapterContext *Adapter);

// Empties the queue and the channel state (a configuration starts it afresh);
// the nodes still queued are freed. Called without Lock, nothing in flight.
VOID ResetCommandChannel(AdapterContext *Adapter);
