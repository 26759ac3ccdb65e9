// Bringing a started adapter to the state in which ports can be opened:
// descriptors, serial number, configuration, pipe map, command channel.
#pragma once

#include "../base/context.h"

#define SERIAL_NUMBER_MAX 32
#define SERIAL_NUMBER_STRING_INDEX 3
#define LANGUAGE_US_ENGLISH 0x0409
#define CONFIG_DESCRIPTOR_FIRST_READ 521
#define FIRMWARE_RUNNING_BIT 0x8000

NTSTATUS ConfigureDevice(PDEVICE_OBJECT AdapterDevice);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT AdapterDevice, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
// Selects no configuration; Configured is cleared once the bus agreed.
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT AdapterDevice);
