#include "service_table.h"

// Constant, in the driver's data: the same address on every call.
static const ServiceTableRecord ServiceTable = {StartRead, StartWrite, OpenPort, ClosePort, PortControl, NULL};

extern "C" const ServiceTableRecord *HOSTAPI RbGetServiceTable(VOID) { return &ServiceTable; }
