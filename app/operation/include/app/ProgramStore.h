// The program store pgmset.dat: five stored six-step programs that the program page loads and saves.
#pragma once
#include <cstddef>

#include <windows.h>

#include "app/Settings.h"

#define PGM_SLOT_COUNT 5
#define PGM_FILE_SIZE 1465
// The older form: five slots of six 40-byte steps, the valid flag and the sum.
#define PGM_OLD_FILE_SIZE 1225
#define PGM_OLD_SLOT_SIZE 245

#pragma pack(push, 1)
struct ProgramSlot {
    ProgramStep steps[6];
    DWORD dwValid;             // 1 when the sum holds
    BYTE bySum;                // 8-bit sum of the first step's 48 bytes
};
#pragma pack(pop)
static_assert(sizeof(ProgramSlot) == 293);
static_assert(sizeof(ProgramSlot) * PGM_SLOT_COUNT == PGM_FILE_SIZE);

extern const WCHAR kPgmStoreFile[];

// A step the run may take: non-finite numbers become 0, a kind outside 1..9 disables it.
void CleanProgramStep(ProgramStep* step);
inline BOOL IsProgramKind(unsigned kind) { return kind >= 1 && kind <= 9; }

// A store image into the slots. 1465 bytes are taken, 1225 bytes (the older form) converted; each
// slot's valid flag follows its sum and every step is cleaned. Other sizes give empty slots.
// Returns PGM_FILE_SIZE or PGM_OLD_FILE_SIZE for the form taken, 0 for empty slots.
size_t ParsePgmStore(const BYTE* data, size_t size, ProgramSlot slots[PGM_SLOT_COUNT]);
// The store at path; anything but the current form is written back anew (the older form converted,
// else empty). TRUE when the file held the current form.
BOOL LoadPgmFile(const WCHAR* path, ProgramSlot slots[PGM_SLOT_COUNT]);
// Seals every slot (sum, valid flag 1) and writes the store power-safely. FALSE when it was not written.
BOOL SavePgmFile(const WCHAR* path, ProgramSlot slots[PGM_SLOT_COUNT]);
