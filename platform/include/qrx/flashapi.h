// The board's NAND flash writer, the stream device "FWD1:", and its host side: the regions it keeps,
// its faults and the boot check that the device's power-on runs.
#pragma once
#include <string>
#include <vector>

#include "types.h"

#ifndef ERROR_WRITE_FAULT
#define ERROR_WRITE_FAULT 29L
#endif

// "FWD1:" control codes.
#define IOCTL_FWD_BOOT_BEGIN 0xBC012004u  // begin boot-loader writing: u32 1, 0, 4096 (size argument 3)
#define IOCTL_FWD_WRITE_PAGE 0xBC022004u  // u32 NAND byte offset, then the page; size = page length
                                          // (the buffer holds 4 + size bytes)
#define IOCTL_FWD_PAGE_END 0xBC032004u    // end of page writing: commits every region written
#define IOCTL_OS_OPEN 0xBC052004u         // u32 OS image length
#define IOCTL_OS_WRITE 0xBC062004u        // one chunk of up to 0x20000 bytes
#define IOCTL_OS_FINISH 0xBC072004u       // the last chunk again; commits when the length is complete

// The NAND layout.
#define FWD_XLDR_COPY_SIZE 0x20000u
#define FWD_XLDR_COPIES 4u
#define FWD_EBOOT_BASE 0x80000u
#define FWD_LOGO_BASE 0x120000u
#define FWD_LOGO_END 0x200000u
#define FWD_OS_MAX (64u * 1024u * 1024u)
#define FWD_OS_CHUNK_MAX 0x20000u
#define FWD_PAGE_SIZE 2048u
// The first page of each XLDR copy: these two words, then the image.
#define FWD_XLDR_WORD0 86008u
#define FWD_XLDR_WORD1 0x402F1000u
#define FWD_IMAGE_SIGNATURE 0x43454345u  // "ECEC" at offset 64 of an XLDR, EBoot or OS image

// BOOL KernelIoControl code that reboots the device: the program ends with it as its exit code.
#define IOCTL_HAL_REBOOT 0x0101003Cu
BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf, DWORD nOutBufSize,
                     LPDWORD lpBytesReturned);

// Host side. The regions live in PlatformStatePath("flash"): "<region>.rec" names the committed image
// file with its length and CRC-32, so a commit is one rename and a region always holds its old or
// its new image. Regions: "xldr0".."xldr3", "eboot", "logo", "os".
namespace qrx {

extern const char* const kFlashRegions[7];

// The committed image of a region; false when the region is empty or its image does not match its
// record (length or CRC-32).
bool ReadFlashRegion(const std::string& region, std::vector<BYTE>& image);

// Faults of "FWD1:", kept in PlatformStatePath("flash/fault") so that they reach the writer's process;
// "" clears them. One per line:
//   open                        the open fails (ERROR_NOT_READY)
//   fail CODE N                 the Nth call of control code CODE fails (ERROR_WRITE_FAULT)
//   power page|chunk|commit N   at the Nth page, OS chunk or region commit the power goes: half the
//                               page or chunk is written (a commit: nothing), the fault is used up and
//                               the calling process dies by SIGKILL
// Counts run from the first call after the fault was set, per process.
bool SetFlashFault(const std::string& fault);

// A generated image of the chain: "xldr", "eboot", "logo" or "os"; "ECEC" at 64 for xldr, eboot and
// os; the tag as NUL-terminated text at 72 (at most 31 bytes); the rest a pattern of the tag. size 0:
// a small default. A logo carries the tag at 0.
std::vector<BYTE> MakeFlashImage(const std::string& kind, const std::string& tag, size_t size = 0);
// The tag of a generated image (as placed by MakeFlashImage), "" when there is none.
std::string FlashImageTag(const std::string& kind, const std::vector<BYTE>& image);

// Whether the device boots: a whole XLDR copy (the two words, then an image with "ECEC" at 64), and
// a whole EBoot and OS image with "ECEC". why names the first missing link.
bool CheckBootChain(std::string& why);
// Writes the factory chain (tag "factory") into every region; with renew false only when the flash
// holds no region record at all. False when it could not be written.
bool SeedFactoryFlash(bool renew);

}  // namespace qrx
