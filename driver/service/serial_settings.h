// A port's line settings: the 13-byte payload of CMD_SETUP, kept in the port
// context, with the serial interface's records it is read and written as.
#pragma once

#include "../base/context.h"

#define SETTING_PORT 0
#define SETTING_BAUD 1  // u32, little-endian
#define SETTING_DATA_BITS 5
#define SETTING_STOP_CODE 6  // 1: one stop bit; 2: two, or one and a half with 5 data bits
#define SETTING_PARITY 7     // 'n' 'o' 'e' '1' (mark) '0' (space)
#define SETTING_SOFT_FLOW 8  // 'n' 't' 'r' 'b'
#define SETTING_XOFF 9
#define SETTING_XON 10
#define SETTING_HANDSHAKE 11
#define SETTING_ZERO 12

#define HANDSHAKE_RTS 0x80
#define HANDSHAKE_DSR 0x10
#define HANDSHAKE_CTS 0x08
#define HANDSHAKE_DTR 0x02
#define HANDSHAKE_DEFAULT 0x6E

#define CHAR_XON 0x11
#define CHAR_XOFF 0x13

// 9600 baud, 8 data bits, one stop bit, no parity, no software flow.
VOID SetDefaultPortSettings(PortContext *Port);
