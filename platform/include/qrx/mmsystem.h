// Sounds. The board plays wave files; here a played sound is recorded as a control of the simulated
// device "WAV" (see qrx::ReadDeviceRecords), with the file's device path as its bytes.
#pragma once
#include "types.h"

#define SND_SYNC 0x0000
#define SND_ASYNC 0x0001
#define SND_NODEFAULT 0x0002
#define SND_MEMORY 0x0004
#define SND_LOOP 0x0008
#define SND_NOSTOP 0x0010
#define SND_FILENAME 0x00020000

BOOL sndPlaySoundW(LPCWSTR lpszSound, UINT fuSound);
