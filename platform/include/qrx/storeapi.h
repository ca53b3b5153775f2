// The storage manager's stores: "DSK1:" is the internal flash ("NAND Flash"), "DSK2:" the card ("SD
// Card", else "Hard Disk"); a store is absent while its folder is (a removed volume).
#pragma once
#include "types.h"

#define PARTITIONNAMESIZE 32
#define VOLUMENAMESIZE 96

typedef struct _PARTINFO {
    DWORD cbSize;  // set to sizeof(PARTINFO) by the caller
    WCHAR szPartitionName[PARTITIONNAMESIZE];
    ULONGLONG snNumSectors;
    FILETIME ftCreated;
    FILETIME ftLastModified;
    DWORD dwAttributes;
    BYTE bFileSys;
    BYTE bPartType;
    WCHAR szVolumeName[VOLUMENAMESIZE];  // the mounted folder, "\SD Card"
} PARTINFO, *PPARTINFO;
static_assert(sizeof(PARTINFO) == 296, "partition information record is 296 bytes");

// INVALID_HANDLE_VALUE (ERROR_FILE_NOT_FOUND) for an unknown or absent store. Close with CloseHandle.
HANDLE OpenStore(LPCWSTR szDeviceName);
// The store's one partition; INVALID_HANDLE_VALUE with the error set otherwise (cbSize must be 296).
HANDLE FindFirstPartition(HANDLE hStore, PPARTINFO pPartInfo);
BOOL FindNextPartition(HANDLE hSearch, PPARTINFO pPartInfo);  // FALSE, ERROR_NO_MORE_ITEMS
BOOL FindClosePartition(HANDLE hSearch);

// Host side: PlatformStatePath("stores") may hold lines "DSK1: SECONDS" or "DSK2: SECONDS": the store
// stays absent until that many device seconds after the file was written ("never" for ever).
