// The in-process screen: composes the process's top-level windows, routes the pen and the keys to
// the windows' threads, and offers the host controls of qrx/screen.h.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>

#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {
namespace {

class InProcessScreen : public Screen {
public:
    void Press(int x, int y) override {
        POINT pt = ClampToScreen(x, y);
        std::lock_guard<std::mutex> g(m_lock);
        m_pressed = true;
        StorePen(pt);
        Target t;
        if (!Route(pt, t)) {
            m_lastDown = nullptr;
            m_stroke = Target{};
            return;
        }
        m_stroke = t;
        UINT msg = WM_LBUTTONDOWN;
        unsigned long long now = DeviceMonotonicMs();
        bool near = std::abs(pt.x - m_lastDownPt.x) <= kDoubleClickSize / 2 &&
                    std::abs(pt.y - m_lastDownPt.y) <= kDoubleClickSize / 2;
        if (t.dblclks && !m_lastWasDouble && m_lastDown == t.hwnd && now - m_lastDownMs <= kDoubleClickMs && near) {
            msg = WM_LBUTTONDBLCLK;
            m_lastWasDouble = true;
        } else {
            m_lastWasDouble = false;
        }
        m_lastDown = t.hwnd;
        m_lastDownMs = now;
        m_lastDownPt = pt;
        PostInput(t.hwnd, t.thread, msg, MK_LBUTTON, MAKELPARAM(t.client.x, t.client.y), pt, true, false, t.byCapture);
    }

    void Move(int x, int y) override {
        POINT pt = ClampToScreen(x, y);
        std::lock_guard<std::mutex> g(m_lock);
        StorePen(pt);
        Target t;
        if (!RouteStroke(pt, t)) return;
        PostInput(t.hwnd, t.thread, WM_MOUSEMOVE, m_pressed ? MK_LBUTTON : 0, MAKELPARAM(t.client.x, t.client.y), pt,
                  false, t.captureOnly, t.byCapture);
    }

    void Release(int x, int y) override {
        POINT pt = ClampToScreen(x, y);
        std::lock_guard<std::mutex> g(m_lock);
        m_pressed = false;
        StorePen(pt);
        Target t;
        bool routed = RouteStroke(pt, t);
        m_stroke = Target{};
        if (!routed) return;
        PostInput(t.hwnd, t.thread, WM_LBUTTONUP, 0, MAKELPARAM(t.client.x, t.client.y), pt, false, t.captureOnly,
                  t.byCapture);
    }

    void Key(UINT vk) override {
        HWND target = nullptr;
        DWORD thread = 0;
        {
            TreeLock g(T().lock);
            auto& tree = T();
            Window* fg = Find(tree.foreground);
            if (!fg) return;
            auto ts = tree.threads.find(fg->thread);
            Window* w = ts != tree.threads.end() ? Find(ts->second.focus) : nullptr;
            if (!w) w = fg;
            if (!EnabledChain(w)) return;
            target = w->hwnd;
            thread = w->thread;
        }
        POINT pt = PenPosition();
        PostInput(target, thread, WM_KEYDOWN, vk & 0xFF, 1, pt, false);
        PostInput(target, thread, WM_KEYUP, vk & 0xFF, static_cast<LPARAM>(0xC0000001u), pt, false);
    }

    bool Compose(std::vector<uint32_t>& pixels) override {
        const int sw = gdi::kScreenWidth, sh = gdi::kScreenHeight;
        pixels.assign(static_cast<size_t>(sw) * sh, 0);
        {
            TreeLock g(T().lock);
            auto& list = T().top;
            for (auto it = list.rbegin(); it != list.rend(); ++it) {
                Window* w = Find(*it);
                if (!w || !(w->style & WS_VISIBLE) || w->destroying || !w->surface) continue;
                std::lock_guard<std::mutex> sg(w->surface->lock);
                const WindowSurface& s = *w->surface;
                RECT area = gdi::Intersect(RECT{0, 0, sw, sh},
                                           RECT{w->rect.left, w->rect.top, w->rect.left + s.width, w->rect.top + s.height});
                if (gdi::RectEmpty(area)) continue;
                auto copy = [&](const RECT& r) {
                    int n = r.right - r.left;
                    for (int y = r.top; y < r.bottom; ++y)
                        std::memcpy(&pixels[static_cast<size_t>(y) * sw + r.left],
                                    &s.pixels[static_cast<size_t>(y - w->rect.top) * s.width + (r.left - w->rect.left)],
                                    static_cast<size_t>(n) * 4);
                };
                if (w->hasRegion) {
                    Region shape = w->region;
                    shape.Offset(w->rect.left, w->rect.top);
                    shape.ForEachIn(area, copy);
                } else {
                    copy(area);
                }
            }
        }
        int level = m_brightness.load();
        if (level < 100) {
            for (auto& p : pixels) {
                uint32_t r = ((p >> 16) & 0xFF) * level / 100, gr = ((p >> 8) & 0xFF) * level / 100,
                         b = (p & 0xFF) * level / 100;
                p = (r << 16) | (gr << 8) | b;
            }
        }
        return true;
    }

    bool Shot(const char* pngPath) override {
        if (!pngPath) return false;
        std::vector<uint32_t> pixels;
        if (!Compose(pixels)) return false;
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = gdi::kScreenWidth;
        bi.bmiHeader.biHeight = -gdi::kScreenHeight;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!bitmap || !bits) return false;
        std::memcpy(bits, pixels.data(), pixels.size() * 4);
        bool ok = SaveBitmapPng(bitmap, pngPath);
        DeleteObject(bitmap);
        return ok;
    }

    std::vector<screen::WindowInfo> ListWindows() override {
        std::vector<screen::WindowInfo> out;
        TreeLock g(T().lock);
        for (HWND h : T().top) {
            Window* w = Find(h);
            if (!w || w->destroying) continue;
            screen::WindowInfo info;
            info.hwnd = h;
            info.className = w->cls ? w->cls->name : u"";
            info.title = w->text;
            info.pid = static_cast<DWORD>(getpid());
            info.rect = w->rect;
            info.visible = (w->style & WS_VISIBLE) != 0;
            out.push_back(std::move(info));
        }
        return out;
    }

    bool WaitForWindow(const WCHAR* className, DWORD deviceMs) override {
        if (!className) return false;
        size_t n = BoundedLength(className, kMaxClassName);
        if (n > kMaxClassName) return false;
        std::u16string wanted = FoldCase(std::u16string_view(className, n));
        auto deadline = DeadlineAfter(deviceMs);
        for (;;) {
            unsigned long long seen;
            {
                std::lock_guard<std::mutex> g(m_changeLock);
                seen = m_generation;
            }
            if (Shown(wanted)) return true;
            std::unique_lock<std::mutex> lk(m_changeLock);
            if (deviceMs == INFINITE) {
                m_changed.wait(lk, [&] { return m_generation != seen; });
            } else if (!m_changed.wait_until(lk, deadline, [&] { return m_generation != seen; })) {
                lk.unlock();
                return Shown(wanted);
            }
        }
    }

    bool WaitIdle(DWORD deviceMs) override { return WaitThreadsIdle(deviceMs, GetCurrentThreadId()) == Idle::Yes; }

    void SetBrightness(int percent) override { m_brightness.store(std::max(0, std::min(100, percent))); }
    int Brightness() override { return m_brightness.load(); }

    POINT PenPosition() override {
        uint64_t v = m_pen.load();
        return POINT{static_cast<LONG>(static_cast<uint32_t>(v >> 32)), static_cast<LONG>(static_cast<uint32_t>(v))};
    }

    void WindowsChanged() override {
        {
            std::lock_guard<std::mutex> g(m_changeLock);
            ++m_generation;
        }
        m_changed.notify_all();
    }

private:
    struct Target {
        HWND hwnd = nullptr;
        DWORD thread = 0;
        POINT client{0, 0};
        bool dblclks = false;
        bool captureOnly = false;
        bool byCapture = false;
    };

    // During a stroke, the pen off every window still goes to the thread that got the pen-down:
    // that thread may take the capture before it reads the message.
    bool RouteStroke(POINT pt, Target& t) {
        if (Route(pt, t)) return true;
        if (!m_stroke.hwnd) return false;
        t = m_stroke;
        t.captureOnly = true;
        return true;
    }

    bool Shown(const std::u16string& foldedClass) {
        for (const auto& info : ListWindows())
            if (info.visible && FoldCase(info.className) == foldedClass) return true;
        return false;
    }

    void StorePen(POINT p) {
        m_pen.store((static_cast<uint64_t>(static_cast<uint32_t>(p.x)) << 32) | static_cast<uint32_t>(p.y));
    }

    // The capture, else the window under the pen; nothing for a disabled window or one inside a
    // disabled window (as an owner is while its modal box runs).
    static bool Route(POINT pt, Target& t) {
        TreeLock g(T().lock);
        auto& tree = T();
        Window* w = Find(tree.capture);
        t.byCapture = w && !w->destroying;
        if (!t.byCapture) w = HitTest(pt);
        if (!w || !EnabledChain(w)) return false;
        POINT o = ScreenOrigin(w);
        t.hwnd = w->hwnd;
        t.thread = w->thread;
        t.client = POINT{pt.x - o.x, pt.y - o.y};
        t.dblclks = w->cls && (w->cls->style & CS_DBLCLKS);
        return true;
    }

    std::mutex m_lock;  // pen state; taken before the tree lock
    bool m_pressed = false;
    HWND m_lastDown = nullptr;
    unsigned long long m_lastDownMs = 0;
    POINT m_lastDownPt{0, 0};
    bool m_lastWasDouble = false;
    Target m_stroke;  // the pen-down's window while the pen is down
    std::atomic<uint64_t> m_pen{0};
    std::atomic<int> m_brightness{100};
    std::mutex m_changeLock;
    std::condition_variable m_changed;
    unsigned long long m_generation = 0;
};

}  // namespace

Idle WaitThreadsIdle(DWORD deviceMs, DWORD served) {
    auto deadline = DeadlineAfter(deviceMs);
    const bool pump = served == GetCurrentThreadId();
    for (;;) {
        bool mine = false;
        if (pump) {
            std::lock_guard<std::mutex> g(KernelLock());
            mine = QueueOfLocked(served) != nullptr;
        }
        if (mine) {
            // The caller's own windows are served here, or nothing would ever get idle.
            MSG m;
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(m.wParam));
                    break;
                }
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
        }
        std::unique_lock<std::mutex> lk(KernelLock());
        unsigned long long now = DeviceMonotonicMs();
        bool idle = true;
        unsigned long long nextDue = ~0ull;
        for (const auto& q : AllQueuesLocked()) {
            if (q->thread == served) {
                bool ready = QueueIdle(*q, now);
                // A served thread blocked elsewhere cannot handle what came in: its caller must.
                if (!ready && !pump) return Idle::ServedBusy;
                idle = idle && ready;
                for (const Timer& t : q->timers) nextDue = std::min(nextDue, t.due);
            } else if (q->windowCount > 0) {
                idle = idle && q->waiting && QueueIdle(*q, now);
            } else {
                idle = idle && QueueIdle(*q, now);
            }
        }
        if (idle) return Idle::Yes;
        if (std::chrono::steady_clock::now() >= deadline) return Idle::TimedOut;
        auto wake = deadline;
        if (nextDue != ~0ull) {
            unsigned long long span = nextDue > now ? nextDue - now : 0;
            wake = std::min(wake, DeadlineAfter(static_cast<DWORD>(std::min<unsigned long long>(span, 0x7FFFFFFEull))));
        }
        if (wake == std::chrono::steady_clock::time_point::max())
            KernelCond().wait(lk);
        else
            KernelCond().wait_until(lk, wake);
    }
}

std::unique_ptr<Screen> MakeLocalScreen() { return std::make_unique<InProcessScreen>(); }

Screen& CurrentScreen() {
    // The device's screen server when one answers, else this process's own screen; either lives
    // until exit, like the windows.
    static Screen* screen = [] {
        Screen* shared = remote::Connect(MakeLocalScreen());
        return shared ? shared : static_cast<Screen*>(new InProcessScreen);
    }();
    return *screen;
}

}  // namespace qrx::win

namespace qrx::screen {

using win::CurrentScreen;

void Press(int x, int y) { CurrentScreen().Press(x, y); }
void Move(int x, int y) { CurrentScreen().Move(x, y); }
void Release(int x, int y) { CurrentScreen().Release(x, y); }
void Tap(int x, int y) {
    CurrentScreen().Press(x, y);
    CurrentScreen().Release(x, y);
}
void Key(UINT vk) { CurrentScreen().Key(vk); }
bool Compose(std::vector<uint32_t>& pixels) { return CurrentScreen().Compose(pixels); }
bool Shot(const char* pngPath) { return CurrentScreen().Shot(pngPath); }
std::vector<WindowInfo> ListWindows() { return CurrentScreen().ListWindows(); }
bool WaitForWindow(const WCHAR* className, DWORD deviceMs) { return CurrentScreen().WaitForWindow(className, deviceMs); }
bool WaitIdle(DWORD deviceMs) { return CurrentScreen().WaitIdle(deviceMs); }
void SetBrightness(int percent) { CurrentScreen().SetBrightness(percent); }
int Brightness() { return CurrentScreen().Brightness(); }

}  // namespace qrx::screen
