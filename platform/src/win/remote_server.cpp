// The screen server: the device's one screen, shared by every program. Programs connect to
// <device root>/.platform/screen.sock, report their top-level windows and share their pixels; the
// server composes them in z-order, routes the pen and the keys, and answers the control commands
// of tests and of qrx-ctl on the same socket. Headless: the picture is seen through "shot". With a
// display the composer makes a picture only when a program reports drawn pixels, the windows change
// or the backlight is switched; nothing runs while the screen stays as it is.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrx/boardapi.h"
#include "qrx/dbt.h"
#include "qrx/host.h"
#include "qrx/wingdi.h"
#include "win/remote.h"

namespace qrx::win::remote {
namespace {


constexpr int kWidth = screen::kWidth;
constexpr int kHeight = screen::kHeight;
constexpr size_t kMaxLine = 1024 * 1024;  // a full title or region in hex fits
constexpr size_t kMaxWindows = 1024;  // per program
constexpr size_t kMaxPendingFds = 64;
constexpr int kMaxSide = 4096;
constexpr auto kSyncWait = std::chrono::seconds(2);
constexpr auto kFramePeriod = std::chrono::milliseconds(16);

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

bool ParseU64(const std::string& s, unsigned long long& v, int base = 10) {
    if (s.empty() || s.size() > 20 || s[0] == '-' || s[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoull(s.c_str(), &end, base);
    return errno == 0 && end && *end == 0;
}

bool ParseI64(const std::string& s, long long& v) {
    if (s.empty() || s.size() > 21) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end && *end == 0;
}

bool ParseInt(const std::string& s, int& v, int lo, int hi) {
    long long x = 0;
    if (!ParseI64(s, x) || x < lo || x > hi) return false;
    v = static_cast<int>(x);
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c == '"' || c == '\\') out.push_back('\\');
        if (c < 0x20) c = ' ';  // one window per line
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string FromUtf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) cp = c, n = 1;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, n = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, n = 3;
        else if ((c & 0xF8) == 0xF0) cp = c & 0x07, n = 4;
        else cp = 0xFFFD, n = 1;
        if (i + n > s.size()) n = s.size() - i, cp = 0xFFFD;
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000 && cp < 0x110000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::u16string Fold(const std::u16string& s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

struct Surface {
    int fd = -1;
    const uint32_t* map = nullptr;
    int width = 0;
    int height = 0;
    size_t Bytes() const { return static_cast<size_t>(width) * height * 4; }
};

void Unmap(Surface& s) {
    if (s.map) munmap(const_cast<uint32_t*>(s.map), s.Bytes());
    if (s.fd >= 0) close(s.fd);
    s = Surface{};
}

struct Win {
    uint64_t hwnd = 0;
    unsigned long long thread = 0;
    unsigned flags = 0;  // 1 visible, 2 topmost, 4 disabled, 8 never activated
    RECT rect{0, 0, 0, 0};
    std::u16string cls, title;
    bool hasRegion = false;
    std::vector<RECT> region;  // window coordinates
    bool Visible() const { return flags & 1; }
    bool Topmost() const { return flags & 2; }
};

struct Program {
    int fd = -1;
    unsigned long long pid = 0;
    std::string name;
    std::mutex writeLock;
    // Under g_lock:
    std::vector<Win> wins;  // front first, as the program orders them
    std::map<uint64_t, Surface> surfaces;
    unsigned long long activations = 0;
    uint64_t capture = 0;
    unsigned long long synced = 0;
    unsigned long long idleToken = 0;  // the last idle question answered
    int idleAnswer = 0;                // 1 idle, 2 the asking thread has work, 0 not in time
    bool alive = true;
    bool Write(const std::string& text) {
        std::lock_guard<std::mutex> g(writeLock);
        return WriteAll(fd, text);
    }
};
using ProgramPtr = std::shared_ptr<Program>;

struct Pending {
    ProgramPtr from;
    unsigned long long id = 0;
    Program* target = nullptr;
};

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<ProgramPtr> g_programs;
std::vector<std::pair<uint64_t, Program*>> g_order;  // front first
std::map<unsigned long long, Pending> g_pending;
unsigned long long g_nextRequest = 0;
unsigned long long g_syncToken = 0;
Program* g_foreground = nullptr;
Program* g_stroke = nullptr;  // the program that got the pen-down while the pen is down
std::mutex g_inputLock;        // keeps pen and keys in order; before g_lock
unsigned long long g_idleToken = 0;
unsigned long long g_screenChanges = 0;    // bumped whenever the picture may differ
unsigned long long g_composedChanges = 0;  // what the display shows
bool g_composing = false;
bool g_composerRunning = false;
bool g_composerStop = false;
std::atomic<unsigned long long> g_composes{0};
// Lines that give a program work (input, calls, replies, storage events) handed over so far.
std::atomic<unsigned long long> g_activity{0};
// The backlight as the device folder's watcher last saw it; -2 without a watcher (read each time).
std::atomic<int> g_backlight{-2};

// g_lock held.
void ScreenChangedLocked() {
    ++g_screenChanges;
    g_changed.notify_all();
}

// A line that gives the program work; counted once it is on its way, so an idle check that began
// before sees the count move.
void Deliver(const ProgramPtr& p, const std::string& line) {
    p->Write(line);
    ++g_activity;
}

const Win* FindWin(Program* p, uint64_t h) {
    for (const Win& w : p->wins)
        if (w.hwnd == h) return &w;
    return nullptr;
}

// Global z-order: the topmost band first, keeping the order within each band.
void SortBands() {
    std::stable_partition(g_order.begin(), g_order.end(), [](const auto& e) {
        const Win* w = FindWin(e.second, e.first);
        return w && w->Topmost();
    });
}

// Takes a program's new window list into the global order. A program that activated a window or
// showed a new one comes to the front, as a window activated on the device does.
void Commit(Program* p, std::vector<Win> wins, unsigned long long activations, uint64_t capture) {
    bool raise = activations > p->activations;
    for (const Win& w : wins) {
        const Win* old = FindWin(p, w.hwnd);
        if (w.Visible() && (!old || !old->Visible())) raise = true;
    }
    size_t anchor = 0, others = 0;
    bool seen = false;
    for (auto& e : g_order) {
        if (e.second == p) {
            seen = true;
            break;
        }
        ++others;
    }
    anchor = seen && !raise ? others : 0;
    g_order.erase(std::remove_if(g_order.begin(), g_order.end(), [p](const auto& e) { return e.second == p; }),
                  g_order.end());
    std::vector<std::pair<uint64_t, Program*>> mine;
    for (const Win& w : wins) mine.emplace_back(w.hwnd, p);
    g_order.insert(g_order.begin() + static_cast<ptrdiff_t>(std::min(anchor, g_order.size())), mine.begin(),
                   mine.end());
    p->wins = std::move(wins);
    if (activations > p->activations) g_foreground = p;
    p->activations = activations;
    p->capture = capture;
    for (auto it = p->surfaces.begin(); it != p->surfaces.end();) {
        if (!FindWin(p, it->first)) {
            Unmap(it->second);
            it = p->surfaces.erase(it);
        } else {
            ++it;
        }
    }
    SortBands();
    ScreenChangedLocked();
}

bool InWindow(const Win& w, POINT pt) {
    if (pt.x < w.rect.left || pt.x >= w.rect.right || pt.y < w.rect.top || pt.y >= w.rect.bottom) return false;
    if (!w.hasRegion) return true;
    LONG x = pt.x - w.rect.left, y = pt.y - w.rect.top;
    for (const RECT& r : w.region)
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return true;
    return false;
}

// The program that holds the capture, else the one whose window is under the pen; g_lock held.
// `hit` is the window under the pen when that decided.
Program* RouteLocked(POINT pt, bool stroke, const Win** hit) {
    for (auto& e : g_order)
        if (e.second->capture) return e.second;
    for (auto& e : g_order) {
        const Win* w = FindWin(e.second, e.first);
        if (w && w->Visible() && InWindow(*w, pt)) {
            if (hit) *hit = w;
            return e.second;
        }
    }
    return stroke ? g_stroke : nullptr;
}

// The program's windows come to the front, keeping their own order; g_lock held.
void RaiseLocked(Program* p) {
    std::stable_partition(g_order.begin(), g_order.end(), [p](const auto& e) { return e.second == p; });
    SortBands();
    g_foreground = p;
    ScreenChangedLocked();
}

ProgramPtr Shared(Program* p) {
    for (auto& sp : g_programs)
        if (sp.get() == p) return sp;
    return nullptr;
}

enum class Pen { Press, Move, Release };

void PenInput(Pen kind, int x, int y) {
    POINT pt{std::max(0, std::min(kWidth - 1, x)), std::max(0, std::min(kHeight - 1, y))};
    std::lock_guard<std::mutex> in(g_inputLock);
    ProgramPtr target;
    {
        std::lock_guard<std::mutex> g(g_lock);
        const Win* hit = nullptr;
        Program* p = RouteLocked(pt, kind != Pen::Press, &hit);
        if (kind == Pen::Press) g_stroke = p;
        // A pen-down activates the window under it, which brings its program to the front even
        // when the program itself saw that window active all along.
        if (kind == Pen::Press && hit && !(hit->flags & (4 | 8))) RaiseLocked(p);
        if (kind == Pen::Release) g_stroke = nullptr;
        target = Shared(p);
    }
    if (!target) return;
    const char* verb = kind == Pen::Press ? "press" : kind == Pen::Move ? "move" : "release";
    Deliver(target, std::string(verb) + " " + std::to_string(pt.x) + " " + std::to_string(pt.y) + "\n");
}

void KeyInput(int vk) {
    std::lock_guard<std::mutex> in(g_inputLock);
    ProgramPtr target;
    {
        std::lock_guard<std::mutex> g(g_lock);
        Program* p = g_foreground;
        if (!p) {
            for (auto& e : g_order) {
                const Win* w = FindWin(e.second, e.first);
                if (w && w->Visible()) {
                    p = e.second;
                    break;
                }
            }
        }
        target = Shared(p);
    }
    if (target) Deliver(target, "key " + std::to_string(vk) + "\n");
}

// Has every program copy its pixels into the shared memory; a program that does not answer in
// time is shown as it last was.
void SyncAll() {
    std::vector<ProgramPtr> list;
    unsigned long long token;
    {
        std::lock_guard<std::mutex> g(g_lock);
        token = ++g_syncToken;
        list = g_programs;
    }
    for (auto& p : list) p->Write("sync " + std::to_string(token) + "\n");
    std::unique_lock<std::mutex> lk(g_lock);
    g_changed.wait_for(lk, kSyncWait, [&] {
        for (auto& p : list)
            if (p->alive && p->synced < token) return false;
        return true;
    });
}

void Compose(std::vector<uint32_t>& pixels) {
    pixels.assign(static_cast<size_t>(kWidth) * kHeight, 0);
    int backlight = g_backlight.load();
    if (backlight == -2) backlight = qrx::BacklightState();
    std::lock_guard<std::mutex> g(g_lock);
    if (backlight == 0) return;  // the backlight off leaves the panel dark
    for (auto it = g_order.rbegin(); it != g_order.rend(); ++it) {
        const Win* w = FindWin(it->second, it->first);
        if (!w || !w->Visible()) continue;
        auto s = it->second->surfaces.find(w->hwnd);
        if (s == it->second->surfaces.end() || !s->second.map) continue;
        const Surface& sf = s->second;
        auto copy = [&](RECT r) {  // window coordinates
            r.left = std::max<LONG>({r.left, 0, -w->rect.left});
            r.top = std::max<LONG>({r.top, 0, -w->rect.top});
            r.right = std::min<LONG>({r.right, sf.width, kWidth - w->rect.left});
            r.bottom = std::min<LONG>({r.bottom, sf.height, kHeight - w->rect.top});
            if (r.right <= r.left || r.bottom <= r.top) return;
            size_t n = static_cast<size_t>(r.right - r.left) * 4;
            for (LONG y = r.top; y < r.bottom; ++y)
                std::memcpy(&pixels[static_cast<size_t>(y + w->rect.top) * kWidth + (r.left + w->rect.left)],
                            &sf.map[static_cast<size_t>(y) * sf.width + r.left], n);
        };
        if (w->hasRegion) {
            for (const RECT& r : w->region) copy(r);
        } else {
            copy(RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top});
        }
    }
}

bool SavePng(const std::vector<uint32_t>& pixels, const std::string& path) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = kWidth;
    bi.bmiHeader.biHeight = -kHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) return false;
    std::memcpy(bits, pixels.data(), pixels.size() * 4);
    bool ok = qrx::SaveBitmapPng(bitmap, path.c_str());
    DeleteObject(bitmap);
    return ok;
}

std::string HexHandle(uint64_t h) {
    char b[24];
    std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(h));
    return b;
}

bool ClassShown(const std::u16string& folded) {
    for (auto& e : g_order) {
        const Win* w = FindWin(e.second, e.first);
        if (w && w->Visible() && Fold(w->cls) == folded) return true;
    }
    return false;
}

// Storage events go out as lines, like input: the server never waits for a program to take them.
void TellPrograms(unsigned long long event, const std::u16string& volume) {
    std::vector<ProgramPtr> list;
    {
        std::lock_guard<std::mutex> g(g_lock);
        list = g_programs;
    }
    std::string line = "devicechange " + std::to_string(event) + " " + HexUtf16(volume) + "\n";
    for (auto& p : list) Deliver(p, line);
}

std::string VolumeError(DWORD error, const std::string& name) {
    std::string shown = name.substr(0, 64);
    switch (error) {
        case ERROR_INVALID_NAME: return "not a volume name: " + shown;
        case ERROR_FILE_NOT_FOUND: return "no volume " + shown;
        case ERROR_ALREADY_EXISTS:
            return "a removed copy of " + shown + " is kept in .platform/volumes and a folder of that name is in its"
                   " place; nothing moved: move one of them away first";
        case ERROR_DIRECTORY: return shown + " is not a folder";
        default: return "cannot move " + shown + " (error " + std::to_string(error) + ")";
    }
}

// Asks every program in rounds until all are idle in one round while no work was handed to any of
// them meanwhile and no call between programs is open. The asking program's thread (callerThread)
// waits in this call, so it only needs an empty queue; when work arrives for it the answer is "busy",
// for it to serve that work and ask again.
std::string WaitAllIdle(DWORD deviceMs, unsigned long long callerPid, unsigned long long callerThread) {
    auto deadline = DeadlineAfter(deviceMs);
    std::unique_lock<std::mutex> lk(g_lock);
    for (;;) {
        unsigned long long activity = g_activity.load();
        unsigned long long token = ++g_idleToken;
        std::vector<ProgramPtr> list = g_programs;
        lk.unlock();
        DWORD left = DeviceMsUntil(deadline);
        for (auto& p : list)
            p->Write("idle " + std::to_string(token) + " " + std::to_string(left) + " " +
                     std::to_string(p->pid == callerPid ? callerThread : 0) + "\n");
        lk.lock();
        // Work for the asking thread ends the round at once: another program may be waiting on it.
        auto askerBusy = [&] {
            for (auto& p : list)
                if (p->pid == callerPid && p->idleToken == token && p->idleAnswer == 2) return true;
            return false;
        };
        auto answered = [&] {
            if (askerBusy()) return true;
            for (auto& p : list)
                if (p->alive && p->idleToken < token) return false;
            return true;
        };
        if (!g_changed.wait_until(lk, deadline, answered)) return "error the programs did not get idle in time\n";
        if (askerBusy()) return "error busy\n";
        bool idle = true;
        for (auto& p : list)
            if (p->alive) idle = idle && p->idleAnswer == 1;
        if (!idle) return "error the programs did not get idle in time\n";
        // Calls still under way make work of their own: their end is waited for, then all ask again.
        if (!g_changed.wait_until(lk, deadline, [] { return g_pending.empty(); }))
            return "error the programs did not get idle in time\n";
        if (g_activity.load() == activity) return "ok\n";
    }
}

std::string Control(const std::string& line) {
    auto f = Split(line);
    if (f.empty()) return "error empty command\n";
    const std::string& cmd = f[0];
    int x = 0, y = 0;
    auto point = [&] {
        return f.size() == 3 && ParseInt(f[1], x, -1000000, 1000000) && ParseInt(f[2], y, -1000000, 1000000);
    };
    if (cmd == "tap" || cmd == "press" || cmd == "move" || cmd == "release") {
        if (!point()) return "error usage: " + cmd + " X Y\n";
        if (x < 0 || x >= kWidth || y < 0 || y >= kHeight)
            return "error " + f[1] + "," + f[2] + " is outside the screen (0-" + std::to_string(kWidth - 1) + ", 0-" +
                   std::to_string(kHeight - 1) + ")\n";
        if (cmd == "tap") {
            PenInput(Pen::Press, x, y);
            PenInput(Pen::Release, x, y);
        } else {
            PenInput(cmd == "press" ? Pen::Press : cmd == "move" ? Pen::Move : Pen::Release, x, y);
        }
        return "ok\n";
    }
    if (cmd == "key") {
        int vk = 0;
        if (f.size() != 2 || !ParseInt(f[1], vk, 1, 255)) return "error usage: key VK (1 to 255)\n";
        KeyInput(vk);
        return "ok\n";
    }
    if (cmd == "frame") {
        // The picture itself follows its header line, for programs that look at the whole screen.
        if (f.size() != 1) return "error usage: frame\n";
        SyncAll();
        std::vector<uint32_t> pixels;
        Compose(pixels);
        std::string out = "frame " + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n";
        out.append(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 4);
        return out + "ok\n";
    }
    if (cmd == "idle") {
        // idle MS [PID THREAD]: the asking program and its waiting thread, when a program asks.
        unsigned long long ms = 0, pid = 0, thread = 0;
        if ((f.size() != 2 && f.size() != 4) || !ParseU64(f[1], ms) || ms > INFINITE ||
            (f.size() == 4 && (!ParseU64(f[2], pid) || !ParseU64(f[3], thread))))
            return "error usage: idle MS [PID THREAD]\n";
        return WaitAllIdle(static_cast<DWORD>(ms), pid, thread);
    }
    if (cmd == "stats") {
        if (f.size() != 1) return "error usage: stats\n";
        std::lock_guard<std::mutex> g(g_lock);
        bool behind = g_composerRunning && (g_composing || g_composedChanges != g_screenChanges);
        return "composes " + std::to_string(g_composes.load()) + " behind " + (behind ? "1" : "0") + "\nok\n";
    }
    if (cmd == "shot") {
        if (f.size() < 2) return "error usage: shot FILE.png\n";
        std::string path = line.substr(line.find("shot") + 5);
        while (!path.empty() && path.front() == ' ') path.erase(0, 1);
        SyncAll();
        std::vector<uint32_t> pixels;
        Compose(pixels);
        if (!SavePng(pixels, path)) return "error cannot write " + path + "\n";
        return "ok\n";
    }
    if (cmd == "volume") {
        if (f.size() < 3 || (f[1] != "arrive" && f[1] != "remove")) return "error usage: volume arrive|remove NAME\n";
        // The name is the rest of the line: volume names hold spaces ("SD Card").
        std::string name = line.substr(line.find(f[1]) + f[1].size());
        size_t first = name.find_first_not_of(' '), last = name.find_last_not_of(' ');
        name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
        bool remove = f[1] == "remove";
        std::u16string folder;
        DWORD error = remove ? TakeVolumeOut(name, folder) : PutVolumeIn(name, folder);
        if (error) return "error " + VolumeError(error, name) + "\n";
        TellPrograms(remove ? DBT_DEVICEREMOVECOMPLETE : DBT_DEVICEARRIVAL, folder);
        return "ok\n";
    }
    if (cmd == "devicechange") {
        unsigned long long event = 0;
        std::u16string volume;
        if (f.size() != 3 || !ParseU64(f[1], event) || (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) ||
            !UnhexUtf16(f[2], volume, 255) || volume.empty())
            return "error usage: devicechange EVENT VOLUME\n";
        TellPrograms(event, volume);
        return "ok\n";
    }
    if (cmd == "windows" || cmd == "list") {
        if (f.size() != 1) return "error usage: " + cmd + "\n";
        std::string out;
        std::lock_guard<std::mutex> g(g_lock);
        for (auto& e : g_order) {
            const Win* w = FindWin(e.second, e.first);
            if (!w) continue;
            const RECT& r = w->rect;
            if (cmd == "list") {
                out += HexHandle(w->hwnd) + " " + std::to_string(e.second->pid) + " " + std::to_string(w->thread) + " " +
                       std::to_string(w->flags) + " " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                       std::to_string(r.right) + " " + std::to_string(r.bottom) + " " + HexUtf16(w->cls) + " " +
                       HexUtf16(w->title) + "\n";
            } else {
                out += "class=\"" + Utf8(w->cls) + "\" title=\"" + Utf8(w->title) + "\" program=" + e.second->name +
                       " pid=" + std::to_string(e.second->pid) + " rect=" + std::to_string(r.left) + "," +
                       std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom) +
                       " visible=" + (w->Visible() ? "1" : "0") + "\n";
            }
        }
        return out + "ok\n";
    }
    if (cmd == "wait" || cmd == "waithex") {
        int seconds = 10;
        if (f.size() < 2 || f.size() > 3 || (f.size() == 3 && !ParseInt(f[2], seconds, 0, 3600)))
            return "error usage: wait CLASS [SECONDS]\n";
        std::u16string cls;
        if (cmd == "waithex") {
            if (!UnhexUtf16(f[1], cls, 256)) return "error bad class\n";
        } else {
            cls = FromUtf8(f[1]);
        }
        if (cls.size() > 256) return "error bad class\n";
        std::u16string folded = Fold(cls);
        std::unique_lock<std::mutex> lk(g_lock);
        // Device seconds, like every other time-out of the device.
        auto wait = std::chrono::nanoseconds(DeviceMsToRealNs(static_cast<DWORD>(seconds) * 1000u));
        if (g_changed.wait_for(lk, wait, [&] { return ClassShown(folded); })) return "ok\n";
        return "error no window of class " + f[1] + " after " + std::to_string(seconds) + " s\n";
    }
    return "error unknown command " + cmd.substr(0, 64) + "\n";
}

void ServeControl(int fd, std::string buffer) {
    char chunk[4096];
    for (;;) {
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!WriteAll(fd, Control(line))) return;
        }
        if (buffer.size() > kMaxLine) {
            WriteAll(fd, "error line too long\n");
            return;
        }
        ssize_t k = recv(fd, chunk, sizeof chunk, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        buffer.append(chunk, static_cast<size_t>(k));
    }
}

struct Staging {
    bool open = false;
    unsigned long long activations = 0;
    uint64_t capture = 0;
    std::vector<Win> wins;
};

// Only memory that can never shrink under the mapping is read, or a read could fault.
bool Sealed(int fd) {
    int seals = fcntl(fd, F_GET_SEALS);
    return seals >= 0 && (seals & F_SEAL_SHRINK);
}

bool ParseRect(const std::vector<std::string>& f, size_t at, RECT& r) {
    long long v[4];
    for (int i = 0; i < 4; ++i)
        if (!ParseI64(f[at + i], v[i]) || v[i] < -(1 << 24) || v[i] > (1 << 24)) return false;
    r = RECT{static_cast<LONG>(v[0]), static_cast<LONG>(v[1]), static_cast<LONG>(v[2]), static_cast<LONG>(v[3])};
    return r.right >= r.left && r.bottom >= r.top;
}

void HandleProgramLine(const ProgramPtr& p, const std::string& line, Staging& st, std::deque<int>& fds) {
    auto f = Split(line);
    if (f.empty()) return;
    const std::string& cmd = f[0];
    unsigned long long u = 0, v = 0;
    if (cmd == "begin" && f.size() == 4) {
        st = Staging{};
        st.open = ParseU64(f[1], st.activations) && ParseU64(f[2], u, 16);
        st.capture = u;
    } else if (cmd == "win" && f.size() == 12 && st.open && st.wins.size() < kMaxWindows) {
        Win w;
        bool ok = ParseU64(f[1], u, 16) && ParseU64(f[2], w.thread) && ParseU64(f[3], v) && ParseRect(f, 4, w.rect) &&
                  UnhexUtf16(f[8], w.cls, 256) && UnhexUtf16(f[9], w.title, kMaxText);
        if (!ok) return;
        w.hwnd = u;
        w.flags = static_cast<unsigned>(v & 15);
        st.wins.push_back(std::move(w));
    } else if (cmd == "rgn" && f.size() >= 3 && st.open && !st.wins.empty()) {
        Win& w = st.wins.back();
        if (!ParseU64(f[1], u, 16) || u != w.hwnd || !ParseU64(f[2], v) || v > 4096 || f.size() != 3 + v * 4) return;
        w.hasRegion = true;
        for (size_t i = 0; i < v; ++i) {
            RECT r;
            if (ParseRect(f, 3 + i * 4, r)) w.region.push_back(r);
        }
    } else if (cmd == "end" && st.open) {
        std::lock_guard<std::mutex> g(g_lock);
        Commit(p.get(), std::move(st.wins), st.activations, st.capture);
        st = Staging{};
    } else if (cmd == "surface" && f.size() == 4) {
        if (fds.empty()) return;
        int fd = fds.front();
        fds.pop_front();
        int w = 0, h = 0;
        struct stat info {};
        if (!ParseU64(f[1], u, 16) || !ParseInt(f[2], w, 1, kMaxSide) || !ParseInt(f[3], h, 1, kMaxSide) ||
            fstat(fd, &info) != 0 || static_cast<unsigned long long>(info.st_size) < static_cast<unsigned long long>(w) * h * 4 ||
            !Sealed(fd)) {
            close(fd);
            return;
        }
        Surface s;
        s.fd = fd;
        s.width = w;
        s.height = h;
        void* map = mmap(nullptr, s.Bytes(), PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            close(fd);
            return;
        }
        s.map = static_cast<const uint32_t*>(map);
        std::lock_guard<std::mutex> g(g_lock);
        auto it = p->surfaces.find(u);
        if (it != p->surfaces.end()) Unmap(it->second);
        p->surfaces[u] = s;
    } else if (cmd == "synced" && f.size() == 2 && ParseU64(f[1], u)) {
        std::lock_guard<std::mutex> g(g_lock);
        p->synced = std::max(p->synced, u);
        g_changed.notify_all();
    } else if (cmd == "damage" && f.size() == 1) {
        std::lock_guard<std::mutex> g(g_lock);
        ScreenChangedLocked();
    } else if (cmd == "idle" && f.size() == 3 && ParseU64(f[1], u) && ParseU64(f[2], v) && v <= 2) {
        std::lock_guard<std::mutex> g(g_lock);
        if (u > p->idleToken) {
            p->idleToken = u;
            p->idleAnswer = static_cast<int>(v);
            g_changed.notify_all();
        }
    } else if (cmd == "req" && f.size() == 10 && ParseU64(f[1], u) && ParseU64(f[3], v, 16)) {
        ProgramPtr target;
        unsigned long long sid = 0;
        {
            // Whether a window exists is asked of the program its handle names, which also knows
            // its child windows; a program no longer here has no windows.
            bool existence = f[2] == std::to_string(static_cast<int>(Op::IsWindow));
            std::lock_guard<std::mutex> g(g_lock);
            for (auto& q : g_programs) {
                if (q == p) continue;
                if (existence ? q->pid == (v >> 32) : FindWin(q.get(), v) != nullptr) target = q;
            }
            if (target) {
                sid = ++g_nextRequest;
                g_pending[sid] = Pending{p, u, target.get()};
            }
        }
        if (!target) {
            p->Write("rep " + f[1] + " 0\n");
            return;
        }
        std::string fwd = "req " + std::to_string(sid);
        for (size_t i = 2; i < f.size(); ++i) fwd += " " + f[i];
        Deliver(target, fwd + "\n");
    } else if (cmd == "rep" && f.size() == 3 && ParseU64(f[1], u)) {
        long long r = 0;
        if (!ParseI64(f[2], r)) r = 0;
        Pending pending;
        {
            std::lock_guard<std::mutex> g(g_lock);
            auto it = g_pending.find(u);
            if (it == g_pending.end() || it->second.target != p.get()) return;
            pending = it->second;
        }
        // The call counts as open until its answer is on its way, so an idle check never sees a
        // finished call whose caller has not yet been handed the answer.
        Deliver(pending.from, "rep " + std::to_string(pending.id) + " " + std::to_string(r) + "\n");
        std::lock_guard<std::mutex> g(g_lock);
        g_pending.erase(u);
        g_changed.notify_all();
    }
}

std::string ProgramName(unsigned long long pid) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%llu/exe", pid);
    char target[4096];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return "?";
    std::string path(target, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name)
        if (c == ' ' || c == '\n') c = '_';
    return name;
}

void ServeProgram(int fd, unsigned long long pid, std::string buffer) {
    auto p = std::make_shared<Program>();
    p->fd = fd;
    p->pid = pid;
    p->name = ProgramName(pid);
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_programs.push_back(p);
    }
    ++g_activity;  // a program starting up is not idle yet: an idle check under way asks again
    Staging st;
    std::deque<int> fds;
    char chunk[16384];
    for (;;) {
        size_t start = 0, nl;
        while ((nl = buffer.find('\n', start)) != std::string::npos) {
            HandleProgramLine(p, buffer.substr(start, nl - start), st, fds);
            start = nl + 1;
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLine) break;
        iovec iov{chunk, sizeof chunk};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t k = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int got;
                std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (fds.size() < kMaxPendingFds) fds.push_back(got);
                else close(got);
            }
        }
        buffer.append(chunk, static_cast<size_t>(k));
    }
    for (int left : fds) close(left);
    // The program is gone: its windows leave the screen at once and nobody waits on it.
    std::vector<Pending> orphans;
    {
        std::lock_guard<std::mutex> g(g_lock);
        p->alive = false;
        g_programs.erase(std::remove(g_programs.begin(), g_programs.end(), p), g_programs.end());
        g_order.erase(std::remove_if(g_order.begin(), g_order.end(), [&](const auto& e) { return e.second == p.get(); }),
                      g_order.end());
        for (auto it = g_pending.begin(); it != g_pending.end();) {
            if (it->second.target == p.get()) {
                orphans.push_back(it->second);  // open until answered, below
                ++it;
            } else if (it->second.from == p) {
                it = g_pending.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [h, s] : p->surfaces) Unmap(s);
        p->surfaces.clear();
        p->wins.clear();
        if (g_foreground == p.get()) g_foreground = nullptr;
        if (g_stroke == p.get()) g_stroke = nullptr;
        ScreenChangedLocked();
    }
    for (auto& o : orphans) Deliver(o.from, "rep " + std::to_string(o.id) + " 0\n");
    {
        std::lock_guard<std::mutex> g(g_lock);
        for (auto it = g_pending.begin(); it != g_pending.end();)
            it = it->second.target == p.get() ? g_pending.erase(it) : std::next(it);
        g_changed.notify_all();
    }
    std::lock_guard<std::mutex> w(p->writeLock);
    close(fd);
    p->fd = -1;
}

void Serve(int fd) {
    std::string buffer;
    char chunk[4096];
    size_t nl;
    while ((nl = buffer.find('\n')) == std::string::npos) {
        if (buffer.size() > kMaxLine) {
            close(fd);
            return;
        }
        ssize_t k = recv(fd, chunk, sizeof chunk, MSG_PEEK);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            close(fd);
            return;
        }
        // Only the first line is taken here: descriptors a program sends later stay in the socket.
        const char* end = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(k)));
        size_t take = end ? static_cast<size_t>(end - chunk) + 1 : static_cast<size_t>(k);
        k = recv(fd, chunk, take, 0);
        if (k <= 0) {
            close(fd);
            return;
        }
        buffer.append(chunk, static_cast<size_t>(k));
    }
    std::string first = buffer.substr(0, nl);
    auto f = Split(first);
    unsigned long long pid = 0;
    if (f.size() == 2 && f[0] == "hello" && ParseU64(f[1], pid)) {
        ServeProgram(fd, pid, buffer.substr(nl + 1));
        return;
    }
    ServeControl(fd, buffer);
    close(fd);
}


int g_listener = -1;

// The backlight device's record file is replaced on every switch: its folder is watched, so the
// screen dims and lights when the device is told and never reads the file otherwise.
void WatchBacklight() {
    std::string folder = PlatformStatePath("devices");
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return;
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return;
    if (inotify_add_watch(fd, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_CREATE) < 0) {
        close(fd);
        return;
    }
    g_backlight.store(qrx::BacklightState());
    std::thread([fd] {
        alignas(inotify_event) char events[4096];
        for (;;) {
            ssize_t n = read(fd, events, sizeof events);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            bool backlight = false;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(events + at);
                if (e->len > 0 && std::strcmp(e->name, "PWM2") == 0) backlight = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
            if (!backlight) continue;
            int state = qrx::BacklightState();
            if (g_backlight.exchange(state) == state) continue;
            std::lock_guard<std::mutex> g(g_lock);
            ScreenChangedLocked();
        }
        // Without the watcher the file is read for each picture again.
        g_backlight.store(-2);
        close(fd);
    }).detach();
}

void AcceptLoop(int listener) {
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) usleep(10000);
                continue;
            }
            return;
        }
        std::thread(Serve, fd).detach();
    }
}

}  // namespace

bool ListenScreenServer(std::string* error) {
    std::string path = PlatformStatePath("screen.sock");
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        if (error) *error = "socket path too long: " + path;
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        close(probe);
        if (error) *error = "a screen server already runs on " + path;
        return false;
    }
    if (probe >= 0) close(probe);
    unlink(path.c_str());  // left behind by a server that died
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0) {
        if (error) *error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (listener >= 0) close(listener);
        return false;
    }
    g_listener = listener;
    WatchBacklight();
    return true;
}

void RunScreenServer() { AcceptLoop(g_listener); }

bool StartScreenServer(std::string* error) {
    if (!ListenScreenServer(error)) return false;
    std::thread(AcceptLoop, g_listener).detach();
    return true;
}

bool ComposeSharedScreen(std::vector<uint32_t>& pixels) {
    SyncAll();
    Compose(pixels);
    return true;
}

void RunComposer(const std::function<void(const std::vector<uint32_t>&)>& present) {
    std::vector<uint32_t> pixels;
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lk(g_lock);
    g_composerRunning = true;
    unsigned long long seen = g_screenChanges - 1;  // the first picture comes at once
    for (;;) {
        g_changed.wait(lk, [&] { return g_composerStop || g_screenChanges != seen; });
        // Changes within one frame period make one picture.
        if (g_changed.wait_until(lk, next, [] { return g_composerStop; })) {
            g_composerRunning = false;
            return;
        }
        seen = g_screenChanges;
        g_composing = true;
        lk.unlock();
        Compose(pixels);
        ++g_composes;
        if (present) present(pixels);
        next = std::chrono::steady_clock::now() + kFramePeriod;
        lk.lock();
        g_composing = false;
        g_composedChanges = seen;
        g_changed.notify_all();
    }
}

void StopComposer() {
    std::lock_guard<std::mutex> g(g_lock);
    g_composerStop = true;
    g_changed.notify_all();
}

unsigned long long ComposeCount() { return g_composes.load(); }

bool WaitComposed(DWORD deviceMs) {
    std::unique_lock<std::mutex> lk(g_lock);
    return g_changed.wait_until(lk, DeadlineAfter(deviceMs),
                                [] { return !g_composing && g_composedChanges == g_screenChanges; });
}

}  // namespace qrx::win::remote
