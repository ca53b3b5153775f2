// Device events: WM_DEVICECHANGE carries one of these events in wParam and, in lParam, a broadcast
// record that starts with DEV_BROADCAST_HDR. The record lives in the receiving program's memory and is
// valid only during the call.
#pragma once
#include "types.h"

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004

#define DBT_DEVTYP_PORT 0x00000003

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;  // of the whole record
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;
static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "broadcast header is 12 bytes");

// Storage volumes arrive and leave as ports named by their folder ("SD Card"); the name is
// terminated and dbcp_size counts it.
typedef struct _DEV_BROADCAST_PORT_W {
    DWORD dbcp_size;
    DWORD dbcp_devicetype;
    DWORD dbcp_reserved;
    WCHAR dbcp_name[1];
} DEV_BROADCAST_PORT_W, *PDEV_BROADCAST_PORT_W;
typedef DEV_BROADCAST_PORT_W DEV_BROADCAST_PORT;
typedef PDEV_BROADCAST_PORT_W PDEV_BROADCAST_PORT;
