// Shared internals of the windowing module: the window tree, the thread queues, the painting
// helpers and the screen behind its interface.
//
// Locks: the tree lock (windows, classes, z-order, focus, capture) is taken before the kernel lock
// (queues, timers); never the other way round. Window procedures are always called with neither
// held. Window surfaces are locked after the tree lock, as the drawing module does after a DC's.
#pragma once
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "gdi/gdi.h"
#include "internal.h"
#include "qrx/handleapi.h"
#include "qrx/synchapi.h"
#include "qrx/screen.h"
#include "qrx/winuser.h"

namespace qrx::win {

using gdi::Region;

// Largest side of a window's retained surface; a larger window draws nothing beyond it.
constexpr int kMaxSurfaceSide = 4096;
// Coordinates and sizes are kept within this range, so sums of them never overflow.
constexpr LONG kMaxCoordinate = 1 << 24;
constexpr size_t kMaxText = 32767;
constexpr size_t kMaxClassName = 256;
constexpr size_t kMaxPosted = 10000;
constexpr UINT kDoubleClickMs = 500;
constexpr int kDoubleClickSize = 8;

inline LONG ClampCoord(long long v) {
    return static_cast<LONG>(std::max<long long>(-kMaxCoordinate, std::min<long long>(kMaxCoordinate, v)));
}
// Device milliseconds left until a deadline of DeadlineAfter; INFINITE for none.
inline DWORD DeviceMsUntil(std::chrono::steady_clock::time_point deadline) {
    if (deadline == std::chrono::steady_clock::time_point::max()) return INFINITE;
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    long double ms = std::chrono::duration<long double, std::milli>(left).count() * TimeScale();
    return static_cast<DWORD>(std::min<long double>(ms, INFINITE - 1));
}
inline LONG ClampSize(long long v) { return static_cast<LONG>(std::max<long long>(0, std::min<long long>(kMaxCoordinate, v))); }
// Length of a caller's string, never reading past limit + 1 characters.
size_t BoundedLength(const WCHAR* s, size_t limit);
std::u16string FoldCase(std::u16string_view s);

struct WindowClass {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int wndExtra = 0;
    HINSTANCE instance = nullptr;
    HBRUSH background = nullptr;
    int windows = 0;
};

// A top-level window's retained pixels.
class WindowSurface : public gdi::Surface {
public:
    gdi::PixelView View() override {
        return gdi::PixelView{reinterpret_cast<uint8_t*>(pixels.data()), width, height,
                              static_cast<ptrdiff_t>(width) * 4};
    }
    // With the surface lock held; keeps the pixels of the common part.
    void Resize(int w, int h);
    // Drawing changed a rectangle (surface lock held): kept as damage for the shared screen.
    void Push(const RECT& r) override;
    std::vector<uint32_t> pixels;
    int width = 0;
    int height = 0;
    RECT damage{0, 0, 0, 0};  // changed since the shared screen last took the pixels
};

struct Window {
    HWND hwnd = nullptr;
    DWORD thread = 0;
    std::shared_ptr<WindowClass> cls;
    WNDPROC proc = nullptr;
    DWORD style = 0;
    DWORD exStyle = 0;
    LONG_PTR userData = 0;
    UINT_PTR id = 0;
    HINSTANCE instance = nullptr;
    std::u16string text;
    RECT rect{0, 0, 0, 0};  // in the parent's client area; on the screen for top-level windows
    HWND parent = nullptr;  // child windows only
    HWND owner = nullptr;   // top-level windows only
    std::vector<HWND> children;  // front first
    bool hasRegion = false;
    Region region;  // window coordinates
    Region update;  // client coordinates
    bool erase = false;
    std::shared_ptr<WindowSurface> surface;  // top-level windows only
    std::vector<uint8_t> extra;
    void* impl = nullptr;
    bool destroying = false;
    bool destroySent = false;    // WM_DESTROY went out
    bool ncDestroySent = false;  // WM_NCDESTROY went out
    LONG Width() const { return rect.right - rect.left; }
    LONG Height() const { return rect.bottom - rect.top; }
    bool TopLevel() const { return parent == nullptr; }
};

struct ThreadWindows {
    HWND active = nullptr;
    HWND focus = nullptr;
};

// Guarded by lock.
struct Tree {
    std::recursive_mutex lock;
    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    std::vector<HWND> top;  // front first; the topmost band leads
    std::map<std::u16string, std::shared_ptr<WindowClass>> classes;  // by folded name
    ATOM nextAtom = 0xC000;
    uintptr_t nextHandle = 0;  // the process id in the high bits keeps handles unique on the device
    unsigned long long activations = 0;  // counts activations, so the shared screen raises the program
    HWND foreground = nullptr;
    HWND capture = nullptr;
    std::unordered_map<DWORD, ThreadWindows> threads;
    RECT workArea{0, 0, gdi::kScreenWidth, gdi::kScreenHeight};
};
Tree& T();
using TreeLock = std::lock_guard<std::recursive_mutex>;
const HWND kDesktop = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));

// With the tree lock held.
Window* Find(HWND h);
Window* Root(Window* w);
Window* ParentOf(const Window* w);
std::vector<HWND>& SiblingList(const Window* w);
bool VisibleChain(const Window* w);
bool EnabledChain(const Window* w);
POINT ScreenOrigin(const Window* w);
POINT SurfaceOrigin(const Window* w);  // client origin in the top-level surface
// Pre-order: w, then its children front first.
void CollectTree(Window* w, std::vector<Window*>& out);
bool IsInTree(const Window* root, HWND h);
// The deepest visible window at a screen point (including disabled ones), or null.
Window* HitTest(POINT screen);
Window* FindChildAt(Window* parent, POINT client, bool skipHidden, bool skipDisabled);

// Error and window lookup for the API: null with ERROR_INVALID_WINDOW_HANDLE.
Window* FindOrFail(HWND h);
DWORD ThreadOf(HWND h);  // 0 when not a window
// A window of this program; IsWindow also asks other programs.
bool LocalWindow(HWND h);
LRESULT CallProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam);

// Painting (paint.cpp), with the tree lock held.
Region VisibleRegion(const Window* w, bool clipChildren);
void AddUpdate(Window* w, const Region& client, bool erase);
void RemoveUpdate(Window* w, const Region* client);  // null: everything
// Invalidates a region of w's client area and of its children as RedrawWindow decides.
void InvalidateTree(Window* w, const Region& client, bool erase, UINT flags);
void InvalidateAll(Window* w, bool erase);
void ClearUpdates(Window* w);  // w and its descendants
Window* FindPaintWindow(DWORD thread, HWND filter);

// Queues (message.cpp).
struct SentItem {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
    bool notify = false;  // nobody waits for it
    std::function<void()> task;
};

struct Posted {
    MSG msg{};
    unsigned long long seq = 0;
    bool clickActivate = false;
    bool pen = false;          // goes to the capture of the retrieving thread, if any
    bool captureOnly = false;  // pen outside every window: dropped unless captured
    bool byCapture = false;    // routed to the capture that held it when queued
};

struct Timer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    UINT elapse = 0;
    TIMERPROC proc = nullptr;
    unsigned long long due = 0;  // device ms
};

// Guarded by KernelLock().
struct Queue {
    DWORD thread = 0;
    bool dead = false;
    std::deque<Posted> posted;
    std::deque<std::shared_ptr<SentItem>> sent;
    bool quit = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    UINT_PTR nextTimerId = 0x7F00;
    int paintCount = 0;  // windows of the thread with an update region
    int windowCount = 0;
    bool waiting = false;  // blocked waiting for messages or a reply
    DWORD wakeMask = QS_ALLINPUT;
    unsigned long long change = 0;  // bumped on anything that may give a message
    HANDLE waitHandle = nullptr;
};

// The calling thread's queue, made on first use.
std::shared_ptr<Queue> CurrentQueue();
std::shared_ptr<Queue> QueueOfLocked(DWORD thread);  // kernel lock held; null when none
void AdjustPaintCount(DWORD thread, int delta);
void AdjustWindowCount(DWORD thread, int delta);
// Posts for the screen: pen messages carry the screen point; a pen-down activates on retrieval.
bool PostInput(HWND hwnd, DWORD thread, UINT msg, WPARAM wParam, LPARAM lParam, POINT pt, bool clickActivate,
               bool captureOnly = false, bool byCapture = false);
// Runs a task on a thread when it next handles sent messages.
bool RunOnThread(DWORD thread, std::function<void()> task);
void KillWindowTimers(DWORD thread, const std::vector<HWND>& windows);
bool QueueIdle(const Queue& q, unsigned long long nowMs);
std::vector<std::shared_ptr<Queue>> AllQueuesLocked();
// Drops what belongs to an ended thread's windows (window.cpp).
void ForgetThreadWindows(DWORD thread);

// The window to activate after `gone` stopped being active: its owner, else the front visible
// enabled top-level window of the thread; tree lock held.
HWND NextToActivate(DWORD thread, HWND gone, HWND owner);
// Moves a top-level window to the front of its band, its owned windows just above it.
void BringToTop(Window* w);

// Activation, focus and capture (focus.cpp).
void ActivateWindow(HWND top, bool click);
// A pen-down retrieved by its thread activates the top-level window under the pen.
void ClickActivate(HWND hwnd);
void AfterHidden(HWND hwnd);  // the window or its subtree stopped being visible
void ReleaseCaptureOf(const std::vector<HWND>& windows);

// Geometry (pos.cpp).
BOOL SetPosition(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);

// The screen: composition, input and host controls (screen.cpp). Replaceable by a screen shared
// between programs; the windows call it only through this interface.
class Screen {
public:
    virtual ~Screen() = default;
    virtual void Press(int x, int y) = 0;
    virtual void Move(int x, int y) = 0;
    virtual void Release(int x, int y) = 0;
    virtual void Key(UINT vk) = 0;
    virtual bool Compose(std::vector<uint32_t>& pixels) = 0;
    virtual bool Shot(const char* pngPath) = 0;
    virtual std::vector<screen::WindowInfo> ListWindows() = 0;
    virtual bool WaitForWindow(const WCHAR* className, DWORD deviceMs) = 0;
    // Every program of the screen (not only this one) has handled its input and drawn.
    virtual bool WaitIdle(DWORD deviceMs) = 0;
    virtual void SetBrightness(int percent) = 0;
    virtual int Brightness() = 0;
    // The pen's last position in screen coordinates.
    virtual POINT PenPosition() = 0;
    // Top-level windows appeared, vanished, moved or changed their look.
    virtual void WindowsChanged() = 0;
};
Screen& CurrentScreen();
// The screen point nearest to (x, y): a pen leaving the panel goes on along its edge.
inline POINT ClampToScreen(int x, int y) {
    return POINT{std::max(0, std::min(gdi::kScreenWidth - 1, x)), std::max(0, std::min(gdi::kScreenHeight - 1, y))};
}
// The screen of this process's own windows; the shared screen routes input through it.
std::unique_ptr<Screen> MakeLocalScreen();

// Waits until every thread of this process has handled its messages: threads with windows wait for
// messages with nothing to do. The `served` thread only needs an empty queue; it is pumped here when
// it is the calling thread, else its pending work ends the wait with ServedBusy.
enum class Idle { Yes, TimedOut, ServedBusy };
Idle WaitThreadsIdle(DWORD deviceMs, DWORD served);
// A window surface got drawn on; the shared screen takes the pixels (remote.cpp).
void SurfaceDamaged();
// Waits for another party to complete the item, handling messages sent to this thread meanwhile.
LRESULT WaitSentDone(const std::shared_ptr<SentItem>& item);

// Storage events (devicechange.cpp): hands WM_DEVICECHANGE with a DEV_BROADCAST_PORT naming the volume
// to each top-level window of this process on its own thread; never waits for another thread.
void DeliverDeviceChange(WPARAM event, const std::u16string& volume);
// The same for every program of the device: through the screen server when connected, else here.
void BroadcastDeviceChange(WPARAM event, const std::u16string& volume);

}  // namespace qrx::win
