// Whole-file reads and power-safe whole-file writes of the small data files.
#pragma once
#include <windows.h>

// Reads up to capacity bytes from the start of the file; *fileSize receives its length. A file that
// is missing while its ".tmp" twin holds a completed save is recovered from it first.
// 0 when the file cannot be opened or read.
BOOL ReadDataFile(const WCHAR* path, void* buffer, DWORD capacity, DWORD* fileSize);
// Writes path + ".tmp", then replaces the file with it, so a power loss leaves the old or the new
// content. 1 on success.
BOOL WriteDataFile(const WCHAR* path, const void* data, DWORD size);
BOOL DataFileExists(const WCHAR* path);
