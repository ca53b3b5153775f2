// A part of the package as an archive in memory, and one entry inflated into a file with its declared
// length and CRC checked: shared by the flash and the application part.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ui/ZipArchive.h"

constexpr int kMaxPartEntries = 4096;

// Reads the part (offset and size inside the package), restores its leading "PK" and opens it; null
// when it cannot be read or is no archive. count: its entries (1..kMaxPartEntries).
HZIP OpenPackagePart(const WCHAR* package, DWORD offset, DWORD size, std::vector<BYTE>& part, int& count);

enum class EntryResult { Ok, Corrupt, Write };
// Inflates entry index (of declared length) into path; head gets its first head.size() bytes.
// written(n) after each piece.
EntryResult EntryToFile(HZIP zip, int index, DWORD declared, const std::u16string& path, std::vector<BYTE>& head,
                        const std::function<void(DWORD)>& written);
