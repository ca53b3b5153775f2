// Shared internals of the platform layer.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qrx/fileapi.h"
#include "qrx/host.h"
#include "qrx/types.h"

namespace qrx {

// Every handle refers to a kernel object. Waitable objects are tested and consumed under the one
// kernel lock, and every state change notifies the one kernel condition; the device has few
// threads, so a single lock keeps multi-object waits simple and race-free.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual bool Waitable() const { return false; }
    // Called with KernelLock() held.
    virtual bool IsSignaled(DWORD /*threadId*/) const { return false; }
    // Called with KernelLock() held after a wait was satisfied: an auto-reset event resets, a
    // semaphore counts down, a mutex becomes owned.
    virtual void Acquire(DWORD /*threadId*/) {}
    // Called with KernelLock() held when the object's last handle is closed.
    virtual void LastHandleClosed() {}

    int handleCount = 0;  // guarded by the handle table's lock
};

std::mutex& KernelLock();
std::condition_variable& KernelCond();

HANDLE NewHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> HandleAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
// Removes the handle; false (ERROR_INVALID_HANDLE set) when it is not open.
bool ReleaseHandle(HANDLE h);

// Per-thread last error, as SetLastError.
void SetError(DWORD code);

// Device monotonic clock in milliseconds (scaled, without the tick start offset).
unsigned long long DeviceMonotonicMs();
// Converts a device time-out to an absolute steady-clock deadline.
std::chrono::steady_clock::time_point DeadlineAfter(DWORD deviceMs);

std::string ToUtf8(const WCHAR* s);

// Files (paths.cpp, file.cpp), shared by find.cpp and stdio.cpp.
DWORD MapFilePath(std::u16string_view path, std::string& host, bool& parentMissing, bool& reserved);
DWORD FileErrorFromErrno(int e);
bool FillFindData(const std::string& host, const std::u16string& name, WIN32_FIND_DATAW& data);
bool HostIsReadOnly(const std::string& host);
void ForgetFileAttributes(const std::string& host);

// Synchronisation objects (sync.cpp), made by name in named.cpp; keep holds the name's lock.
std::shared_ptr<KernelObject> NewEventObject(bool manualReset, bool initialState, std::shared_ptr<void> keep);
std::shared_ptr<KernelObject> NewSemaphoreObject(LONG initialCount, LONG maximumCount, std::shared_ptr<void> keep);
std::shared_ptr<KernelObject> NewMutexObject(bool initialOwner, std::shared_ptr<void> keep);
// Threads (thread.cpp): an ending thread abandons its mutexes; waits resolve the pseudo-handle.
void AbandonMutexesOwnedBy(DWORD threadId);
std::shared_ptr<KernelObject> LookupWaitableHandle(HANDLE h);
// Processes (process.cpp): this process as a waitable object that is never signalled, and the exit code
// of a child's primary-thread handle (false for any other handle).
std::shared_ptr<KernelObject> CurrentProcessObject();
bool PrimaryThreadExitCode(HANDLE h, DWORD& code);

// Stream devices: names of three letters, a digit and a colon ("COM2:", "PWM1:"). CreateFileW hands
// them to the opener registered for their prefix; ReadFile, WriteFile and DeviceIoControl on their
// handles reach the device object.
class DeviceObject : public KernelObject {
public:
    virtual BOOL Read(void* buffer, DWORD count, DWORD* done);
    virtual BOOL Write(const void* buffer, DWORD count, DWORD* done);
    virtual BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
    virtual BOOL Flush() { return TRUE; }
};
// name: upper case, as "COM2:". Returns null with the error set when the device cannot be opened.
using DeviceOpener = std::shared_ptr<DeviceObject> (*)(const std::u16string& name, DWORD access, DWORD share);
// Called from static initialisers of the device sources.
void RegisterDeviceOpener(const char* prefix, DeviceOpener opener);
bool IsDeviceName(const WCHAR* name);
HANDLE OpenDevice(const WCHAR* name, DWORD access, DWORD share);

// The time zone's bias in minutes (UTC = local + bias), from timezone.cpp: in force at a UTC instant,
// and the one that maps a local time back to UTC.
LONG ZoneBiasMinutesAt(long long utcTicks);
LONG ZoneBiasMinutesForLocal(long long localTicks);

// Appends a control record to a simulated device's history in .platform/devices (board.cpp).
bool RecordDeviceControl(const std::string& device, DWORD code, const BYTE* bytes, DWORD size);
// One record line of a device's history, and its reader (board.cpp); "FWD1" keeps its own history
// file of calls (flash.cpp).
struct DeviceRecord;
std::string FormatDeviceRecord(DWORD tick, DWORD code, const BYTE* bytes, DWORD size);
bool ParseDeviceRecord(std::string_view line, DeviceRecord& r);
std::vector<DeviceRecord> ReadFlashRecords();

// Tells whether a state file changed since it was read: an atomic replace gives a new inode.
struct FileIdentity {
    bool exists = false;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    long long mtimeNs = 0;
    long long size = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity Identify(const std::string& path);

// Storage volumes (volume.cpp): moves a volume's folder aside or back. 0 or the error code; `folder`
// is the folder's name as it is spelled on the device, for the event.
DWORD TakeVolumeOut(const std::string& name, std::u16string& folder);
DWORD PutVolumeIn(const std::string& name, std::u16string& folder);

// The runner's lifeline (lifeline.cpp): the pipe end this program watches (-1 without one), the
// environment entry that names it to a child, which gets it at kLifelineFd, and a test for that entry.
int LifelineFd();
std::string LifelineEntry();
bool IsLifelineEntry(const char* entry);

// Hooks of ReloadHostConfig into the other services (each re-reads its own configuration).
void ReloadTimeConfig();

}  // namespace qrx
