// The firmware's command and response protocol on the command pipes: one
// frame per bulk transfer, code first, then the port number and payload.
#pragma once

#define CMD_OPEN 1
#define CMD_CLOSE 2
#define CMD_SETUP 3
#define CMD_SET_RTS 4
#define CMD_SET_DTR 5
#define CMD_SET_BREAK 6
#define CMD_GET_STATUS 8
#define CMD_WAITS_FOR_DONE_9 9  // answered with RSP_DONE; sent by nothing here
#define CMD_ECHO 14
#define CMD_GET_INFO 15

#define RSP_STATUS 8
#define RSP_ADAPTER_STATUS 11
#define RSP_EVENT 13
#define RSP_INFO 15
#define RSP_DONE 16

#define COMMAND_FRAME_MAX 35  // CMD_GET_INFO: code + 34 payload bytes
#define GET_INFO_PAYLOAD_SIZE 34
#define RESPONSE_BUFFER_SIZE 64

// The close drain marker echoed back on a port's data IN pipe: 'B', bytes
// made anew for each close, 'G'. Port data may hold anything, a four-byte
// "B..G" frame included; only a transfer that is the whole marker, as long
// and byte for byte as this close made it, ends the drain.
#define DRAIN_MARKER_LENGTH 16
#define DRAIN_MARKER_FIRST 0x42  // 'B'
#define DRAIN_MARKER_LAST 0x47   // 'G'
