// The program's connection to the screen server. The program reports its top-level windows and
// shares their pixels through memory files, copying what drawing changed as it changes and telling
// the server so; the server sends back pen and key input, requests to bring the pixels up to date
// or to report when idle, and operations that other programs run on this program's windows.
#include "win/remote.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "qrx/dbt.h"
#include "qrx/host.h"

namespace qrx::win::remote {

std::string HexUtf16(const std::u16string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 4 + 1);
    for (char16_t c : s)
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
    // An empty field still has to be a token.
    return out.empty() ? std::string("-") : out;
}

bool UnhexUtf16(const std::string& hex, std::u16string& out, size_t limit) {
    out.clear();
    if (hex == "-") return true;
    if (hex.size() % 4 != 0 || hex.size() / 4 > limit) return false;
    for (size_t i = 0; i < hex.size(); i += 4) {
        unsigned v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = hex[i + k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + static_cast<unsigned>(d);
        }
        out.push_back(static_cast<char16_t>(v));
    }
    return true;
}

namespace {

constexpr size_t kMaxLine = 1024 * 1024;  // a full title or region in hex fits
constexpr size_t kMaxRegionRects = 4096;
constexpr size_t kMaxVolumeName = 255;

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
    if (s.empty() || s.size() > 20) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoull(s.c_str(), &end, base);
    return errno == 0 && end && *end == 0 && s[0] != '-';
}

bool ParseI64(const std::string& s, long long& v) {
    if (s.empty() || s.size() > 21) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end && *end == 0;
}

void AddNumber(std::string& s, long long v) {
    s += ' ';
    s += std::to_string(v);
}

std::string Hex(const void* p) {
    char b[24];
    std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return b;
}

HWND ToHwnd(const std::string& s) {
    unsigned long long v = 0;
    return ParseU64(s, v, 16) ? reinterpret_cast<HWND>(static_cast<uintptr_t>(v)) : nullptr;
}

int ConnectSocket(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool SendWithFd(int sock, const std::string& line, int fd) {
    iovec iov{const_cast<char*>(line.data()), line.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ssize_t k;
    do {
        k = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (k < 0 && errno == EINTR);
    if (k < 0) return false;
    // The descriptor went with the first byte; the rest of the line follows plainly.
    return static_cast<size_t>(k) == line.size() || WriteAll(sock, line.data() + k, line.size() - static_cast<size_t>(k));
}

// Sends one command on a fresh control connection; the connection, or -1.
int Ask(const std::string& command) {
    int fd = ConnectSocket(PlatformStatePath("screen.sock"));
    if (fd < 0) return -1;
    std::string text = command + "\n";
    if (!WriteAll(fd, text.data(), text.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// Appends what the connection brings next to `buffer`; false when it ended, failed or the deadline
// passed.
bool ReceiveMore(int fd, std::chrono::steady_clock::time_point deadline, std::string& buffer) {
    char chunk[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (r < 0 && errno != EINTR) return false;
        if (r <= 0) continue;
        ssize_t k = recv(fd, chunk, sizeof chunk, 0);
        if (k <= 0) return false;
        buffer.append(chunk, static_cast<size_t>(k));
        return true;
    }
}

// One command on a fresh control connection; the answer's lines before "ok" go to `lines`.
bool Control(const std::string& command, std::vector<std::string>* lines, int seconds, std::string* error) {
    int fd = Ask(command);
    if (fd < 0) {
        if (error) *error = "no screen server";
        return false;
    }
    bool ok = false;
    std::string buffer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        size_t nl = buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (line == "ok") {
                ok = true;
                break;
            }
            if (line.rfind("error", 0) == 0) {
                if (error) *error = line.size() > 6 ? line.substr(6) : "failed";
                break;
            }
            if (lines) lines->push_back(line);
            continue;
        }
        if (buffer.size() > kMaxLine || !ReceiveMore(fd, deadline, buffer)) break;
    }
    close(fd);
    return ok;
}

// The whole screen as the server composes it: "frame W H", the pixels, then "ok".
bool Frame(std::vector<uint32_t>& pixels) {
    int fd = Ask("frame");
    if (fd < 0) return false;
    std::string buffer;
    size_t header = 0, need = 0;  // once the header is in: its size, and that of the whole answer
    bool ok = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        size_t nl = need == 0 ? buffer.find('\n') : std::string::npos;
        if (nl != std::string::npos) {
            auto f = Split(buffer.substr(0, nl));
            unsigned long long w = 0, h = 0;
            if (f.size() != 3 || f[0] != "frame" || !ParseU64(f[1], w) || !ParseU64(f[2], h) || w != screen::kWidth ||
                h != screen::kHeight)
                break;
            header = nl + 1;
            need = header + static_cast<size_t>(w * h * 4) + 3;
        }
        if (need != 0 && buffer.size() >= need) {
            ok = buffer.compare(need - 3, 3, "ok\n") == 0;
            if (ok) {
                pixels.resize(static_cast<size_t>(screen::kWidth) * screen::kHeight);
                std::memcpy(pixels.data(), buffer.data() + header, pixels.size() * 4);
            }
            break;
        }
        if ((need == 0 && buffer.size() > 4096) || !ReceiveMore(fd, deadline, buffer)) break;
    }
    close(fd);
    return ok;
}

struct SharedSurface {
    int fd = -1;
    void* map = nullptr;
    int width = 0;
    int height = 0;
    std::shared_ptr<WindowSurface> source;  // the window's pixels
    size_t Bytes() const { return static_cast<size_t>(width) * height * 4; }
};

struct WindowLine {
    HWND hwnd;
    std::shared_ptr<WindowSurface> source;
    int width;
    int height;
};

class RemoteScreen : public Screen {
public:
    RemoteScreen(int sock, std::unique_ptr<Screen> local) : m_sock(sock), m_local(std::move(local)) {}

    void Start() {
        std::string hello = "hello " + std::to_string(getpid()) + "\n";
        WriteLocked(hello);
        std::thread([this] { Run(); }).detach();
        std::thread([this] { Flusher(); }).detach();
    }

    // A window surface changed: the flusher copies it out and tells the server.
    void Damaged() {
        if (m_damaged.exchange(true)) return;
        { std::lock_guard<std::mutex> g(m_flushLock); }
        m_flushWake.notify_one();
    }

    bool Connected() const { return m_connected.load(); }

    void Press(int x, int y) override { Command("press" + Point(x, y)); }
    void Move(int x, int y) override { Command("move" + Point(x, y)); }
    void Release(int x, int y) override { Command("release" + Point(x, y)); }
    void Key(UINT vk) override { Command("key " + std::to_string(vk)); }
    // The device's screen, with every program's latest pixels.
    bool Compose(std::vector<uint32_t>& pixels) override {
        if (Connected() && Frame(pixels)) return true;
        return m_local->Compose(pixels);
    }
    bool Shot(const char* pngPath) override {
        if (!pngPath || std::strchr(pngPath, '\n')) return false;
        return Command(std::string("shot ") + pngPath);
    }
    std::vector<screen::WindowInfo> ListWindows() override {
        std::vector<screen::WindowInfo> out;
        if (!AllWindows(out, nullptr)) return m_local->ListWindows();
        return out;
    }
    bool WaitForWindow(const WCHAR* className, DWORD deviceMs) override {
        if (!className) return false;
        size_t n = BoundedLength(className, kMaxClassName);
        if (n > kMaxClassName) return false;
        unsigned seconds = deviceMs == INFINITE ? 3600u : (deviceMs + 999) / 1000;
        std::u16string cls(className, n);
        return Command("waithex " + HexUtf16(cls) + " " + std::to_string(seconds), static_cast<int>(seconds) + 5);
    }
    // Until every program of the device is idle at once. This program's own windows are served here
    // first; while the server asks around, this thread is exempt from waiting for messages, and
    // when work comes in for it the server says so and it is served again.
    bool WaitIdle(DWORD deviceMs) override {
        auto deadline = DeadlineAfter(deviceMs);
        const std::string me = " " + std::to_string(getpid()) + " " + std::to_string(GetCurrentThreadId());
        for (;;) {
            if (!m_local->WaitIdle(DeviceMsUntil(deadline))) return false;
            if (!Connected()) return true;
            std::string error;
            DWORD left = DeviceMsUntil(deadline);
            int seconds =
                static_cast<int>(std::min<unsigned long long>(DeviceMsToRealNs(left) / 1000000000ull, 3600)) + 5;
            if (Control("idle " + std::to_string(left) + me, nullptr, seconds, &error)) return true;
            if (!Connected()) return true;  // the server went away: this program was all there is
            if (error != "busy" || std::chrono::steady_clock::now() >= deadline) return false;
        }
    }
    void SetBrightness(int percent) override { m_local->SetBrightness(percent); }
    int Brightness() override { return m_local->Brightness(); }
    POINT PenPosition() override { return m_local->PenPosition(); }
    void WindowsChanged() override {
        m_local->WindowsChanged();
        Publish();
    }

    bool List(std::vector<screen::WindowInfo>& out, std::vector<DWORD>* threads) {
        if (!Connected()) return false;
        std::vector<std::string> lines;
        if (!Control("list", &lines, 10, nullptr)) return false;
        for (const auto& line : lines) {
            auto f = Split(line);
            if (f.size() != 10) continue;
            screen::WindowInfo info;
            unsigned long long pid = 0, tid = 0, flags = 0;
            long long r[4];
            bool ok = ParseU64(f[1], pid) && ParseU64(f[2], tid) && ParseU64(f[3], flags);
            for (int i = 0; i < 4 && ok; ++i) ok = ParseI64(f[4 + i], r[i]);
            if (!ok || !UnhexUtf16(f[8], info.className, kMaxClassName) || !UnhexUtf16(f[9], info.title, kMaxText))
                continue;
            info.hwnd = ToHwnd(f[0]);
            info.pid = static_cast<DWORD>(pid);
            info.rect = RECT{ClampCoord(r[0]), ClampCoord(r[1]), ClampCoord(r[2]), ClampCoord(r[3])};
            info.visible = (flags & 1) != 0;
            out.push_back(std::move(info));
            if (threads) threads->push_back(static_cast<DWORD>(tid));
        }
        return true;
    }

    LRESULT Request(Op op, HWND h, const LONG_PTR (&args)[6]) {
        auto item = std::make_shared<SentItem>();
        unsigned long long id;
        {
            std::lock_guard<std::mutex> g(m_pendingLock);
            if (!Connected()) return 0;
            id = ++m_nextRequest;
            m_pending[id] = item;
        }
        std::string line = "req " + std::to_string(id) + " " + std::to_string(static_cast<int>(op)) + " " + Hex(h);
        for (LONG_PTR a : args) AddNumber(line, static_cast<long long>(a));
        line += "\n";
        if (!WriteLocked(line)) Complete(id, 0);
        return WaitSentDone(item);
    }

private:
    bool Command(const std::string& command, int seconds = 30) { return Control(command, nullptr, seconds, nullptr); }

    // The server takes points on the screen only; as on this program's own screen, a point off it
    // is taken at the edge.
    static std::string Point(int x, int y) {
        POINT p = ClampToScreen(x, y);
        return " " + std::to_string(p.x) + " " + std::to_string(p.y);
    }

    bool WriteLocked(const std::string& text) {
        std::lock_guard<std::mutex> g(m_writeLock);
        return WriteAll(m_sock, text.data(), text.size());
    }

    void Complete(unsigned long long id, LRESULT result) {
        std::shared_ptr<SentItem> item;
        {
            std::lock_guard<std::mutex> g(m_pendingLock);
            auto it = m_pending.find(id);
            if (it == m_pending.end()) return;
            item = it->second;
            m_pending.erase(it);
        }
        {
            std::lock_guard<std::mutex> g(KernelLock());
            item->result = result;
            item->done = true;
        }
        KernelCond().notify_all();
    }

    // Reports the top-level windows; a snapshot older than one already sent is dropped.
    void Publish() {
        if (!Connected()) return;
        std::string text;
        std::vector<WindowLine> wins;
        unsigned long long seq;
        {
            TreeLock g(T().lock);
            auto& t = T();
            seq = ++m_snapshot;
            text = "begin " + std::to_string(t.activations) + " " + Hex(t.capture) + " " + Hex(t.foreground) + "\n";
            for (HWND h : t.top) {
                Window* w = Find(h);
                if (!w || w->destroying) continue;
                int sw = 0, sh = 0;
                if (w->surface) {
                    std::lock_guard<std::mutex> sg(w->surface->lock);
                    sw = w->surface->width;
                    sh = w->surface->height;
                }
                unsigned flags = ((w->style & WS_VISIBLE) ? 1u : 0u) | ((w->exStyle & WS_EX_TOPMOST) ? 2u : 0u) |
                                 ((w->style & WS_DISABLED) ? 4u : 0u) | ((w->exStyle & WS_EX_NOACTIVATE) ? 8u : 0u);
                text += "win " + Hex(h) + " " + std::to_string(w->thread) + " " + std::to_string(flags) + " " +
                        std::to_string(w->rect.left) + " " + std::to_string(w->rect.top) + " " +
                        std::to_string(w->rect.right) + " " + std::to_string(w->rect.bottom) + " " +
                        HexUtf16(w->cls ? w->cls->name : u"") + " " + HexUtf16(w->text) + " " +
                        std::to_string(sw) + " " + std::to_string(sh) + "\n";
                if (w->hasRegion) {
                    std::string rects;
                    size_t count = 0;
                    w->region.ForEachIn(RECT{0, 0, w->Width(), w->Height()}, [&](const RECT& r) {
                        if (count >= kMaxRegionRects) return;
                        ++count;
                        AddNumber(rects, r.left);
                        AddNumber(rects, r.top);
                        AddNumber(rects, r.right);
                        AddNumber(rects, r.bottom);
                    });
                    text += "rgn " + Hex(h) + " " + std::to_string(count) + rects + "\n";
                }
                wins.push_back(WindowLine{h, w->surface, sw, sh});
            }
            text += "end\n";
        }
        std::lock_guard<std::mutex> g(m_writeLock);
        if (seq < m_written) return;
        m_written = seq;
        // Surfaces first, so the state never names pixels the server has not got.
        std::map<HWND, SharedSurface> keep;
        for (const WindowLine& wl : wins) {
            auto it = m_surfaces.find(wl.hwnd);
            if (it != m_surfaces.end() && it->second.source == wl.source && it->second.width == wl.width &&
                it->second.height == wl.height) {
                keep.emplace(wl.hwnd, it->second);
                m_surfaces.erase(it);
                continue;
            }
            if (wl.width <= 0 || wl.height <= 0 || !wl.source) continue;
            SharedSurface s;
            s.width = wl.width;
            s.height = wl.height;
            s.source = wl.source;
            s.fd = memfd_create("qrx-surface", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            if (s.fd < 0) continue;
            // Sealed against shrinking, so the server can map it without fear of a fault.
            if (ftruncate(s.fd, static_cast<off_t>(s.Bytes())) != 0 ||
                fcntl(s.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
                (s.map = mmap(nullptr, s.Bytes(), PROT_READ | PROT_WRITE, MAP_SHARED, s.fd, 0)) == MAP_FAILED) {
                close(s.fd);
                continue;
            }
            {
                // The server gets the pixels with the memory; later drawing comes as damage.
                std::lock_guard<std::mutex> sg(s.source->lock);
                if (s.source->width == s.width && s.source->height == s.height) {
                    std::memcpy(s.map, s.source->pixels.data(), s.Bytes());
                    s.source->damage = RECT{0, 0, 0, 0};
                } else {
                    s.source->damage = RECT{0, 0, s.source->width, s.source->height};
                }
            }
            std::string line = "surface " + Hex(wl.hwnd) + " " + std::to_string(s.width) + " " +
                               std::to_string(s.height) + "\n";
            SendWithFd(m_sock, line, s.fd);
            keep.emplace(wl.hwnd, s);
        }
        for (auto& [h, s] : m_surfaces) Unmap(s);
        m_surfaces = std::move(keep);
        WriteAll(m_sock, text.data(), text.size());
    }

    static void Unmap(SharedSurface& s) {
        if (s.map && s.map != MAP_FAILED) munmap(s.map, s.Bytes());
        if (s.fd >= 0) close(s.fd);
        s = SharedSurface{};
    }

    // Copies what drawing changed into the shared memory; tells the server when anything did.
    // A surface whose memory is not made yet keeps its damage for Publish.
    void Flush() {
        std::lock_guard<std::mutex> wg(m_writeLock);
        bool changed = false;
        for (auto& [h, s] : m_surfaces) {
            std::lock_guard<std::mutex> sg(s.source->lock);
            WindowSurface& src = *s.source;
            RECT d = gdi::Intersect(src.damage, RECT{0, 0, s.width, s.height});
            if (src.width != s.width || src.height != s.height || gdi::RectEmpty(d)) continue;
            auto* dst = static_cast<uint32_t*>(s.map);
            size_t n = static_cast<size_t>(d.right - d.left) * 4;
            for (LONG y = d.top; y < d.bottom; ++y) {
                size_t at = static_cast<size_t>(y) * s.width + d.left;
                std::memcpy(dst + at, src.pixels.data() + at, n);
            }
            src.damage = RECT{0, 0, 0, 0};
            changed = true;
        }
        if (changed) WriteAll(m_sock, "damage\n", 7);
    }

    void Flusher() {
        while (Connected()) {
            {
                std::unique_lock<std::mutex> lk(m_flushLock);
                m_flushWake.wait(lk, [&] { return m_damaged.load(); });
            }
            m_damaged.store(false);
            Flush();
        }
    }

    // The server's picture is about to be taken: everything drawn so far goes out first.
    void Sync(const std::string& token) {
        Flush();
        WriteLocked("synced " + token + "\n");
    }

    // Answers on a thread of its own, as the wait may be long and the connection must go on.
    void AnswerIdle(const std::string& token, unsigned long long ms, unsigned long long served) {
        std::thread([this, token, ms, served] {
            Idle r = WaitThreadsIdle(static_cast<DWORD>(std::min<unsigned long long>(ms, INFINITE - 1)),
                                     static_cast<DWORD>(served));
            WriteLocked("idle " + token + " " + (r == Idle::Yes ? "1" : r == Idle::ServedBusy ? "2" : "0") + "\n");
        }).detach();
    }

    void Reply(unsigned long long id, LRESULT r) {
        WriteLocked("rep " + std::to_string(id) + " " + std::to_string(static_cast<long long>(r)) + "\n");
    }

    // Only parameters that mean the same in both programs cross: the program's own messages (WM_USER and
    // above) carry integers by convention, and of the system's messages only those without pointers pass.
    // A WM_GETTEXT or WM_TIMER from another program would make this one use an address of that program.
    static bool CarriesOnlyValues(UINT msg) {
        if (msg >= WM_USER) return true;
        switch (msg) {
        case WM_NULL:
        case WM_MOVE:
        case WM_SIZE:
        case WM_ACTIVATE:
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
        case WM_ENABLE:
        case WM_PAINT:
        case WM_CLOSE:
        case WM_SHOWWINDOW:
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_CHAR:
        case WM_COMMAND:
        case WM_MOUSEMOVE:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
            return true;
        default:
            return false;
        }
    }

    // Runs another program's operation on the window's own thread; answers 0 if it never runs.
    void Serve(unsigned long long id, Op op, HWND h, const long long (&a)[6]) {
        struct Answer {
            RemoteScreen* self;
            unsigned long long id;
            bool sent = false;
            LRESULT result = 0;
            ~Answer() {
                if (!sent) self->Reply(id, 0);
            }
        };
        if (op == Op::IsWindow) {
            Reply(id, LocalWindow(h) ? 1 : 0);
            return;
        }
        std::shared_ptr<Answer> answer(new Answer{this, id});
        if ((op == Op::Send || op == Op::Post) && !CarriesOnlyValues(static_cast<UINT>(a[0]))) return;
        DWORD thread = ThreadOf(h);
        if (!thread) return;
        if (op == Op::Post) {
            answer->sent = true;
            Reply(id, PostMessageW(h, static_cast<UINT>(a[0]), static_cast<WPARAM>(a[1]), static_cast<LPARAM>(a[2])));
            return;
        }
        RunOnThread(thread, [answer, op, h, a] {
            LRESULT r = 0;
            switch (op) {
            case Op::Send:
                r = SendMessageW(h, static_cast<UINT>(a[0]), static_cast<WPARAM>(a[1]), static_cast<LPARAM>(a[2]));
                break;
            case Op::Show: r = ShowWindow(h, static_cast<int>(a[0])); break;
            case Op::Pos:
                r = SetWindowPos(h, reinterpret_cast<HWND>(static_cast<intptr_t>(a[0])), static_cast<int>(a[1]),
                                 static_cast<int>(a[2]), static_cast<int>(a[3]), static_cast<int>(a[4]),
                                 static_cast<UINT>(a[5]));
                break;
            case Op::Foreground: r = SetForegroundWindow(h); break;
            case Op::Post:
            case Op::IsWindow: break;
            }
            answer->sent = true;
            answer->self->Reply(answer->id, r);
        });
    }

    void Handle(const std::string& line) {
        auto f = Split(line);
        if (f.empty()) return;
        const std::string& cmd = f[0];
        long long x = 0, y = 0;
        if ((cmd == "press" || cmd == "move" || cmd == "release") && f.size() == 3 && ParseI64(f[1], x) &&
            ParseI64(f[2], y)) {
            int cx = static_cast<int>(std::max(-100000LL, std::min(100000LL, x)));
            int cy = static_cast<int>(std::max(-100000LL, std::min(100000LL, y)));
            if (cmd == "press") m_local->Press(cx, cy);
            else if (cmd == "move") m_local->Move(cx, cy);
            else m_local->Release(cx, cy);
        } else if (cmd == "key" && f.size() == 2 && ParseI64(f[1], x)) {
            m_local->Key(static_cast<UINT>(x));
        } else if (cmd == "sync" && f.size() == 2) {
            Sync(f[1]);
        } else if (cmd == "idle" && f.size() == 4) {
            unsigned long long ms = 0, served = 0;
            if (ParseU64(f[2], ms) && ParseU64(f[3], served)) AnswerIdle(f[1], ms, served);
        } else if (cmd == "rep" && f.size() == 3) {
            unsigned long long id = 0;
            long long r = 0;
            if (ParseU64(f[1], id) && ParseI64(f[2], r)) Complete(id, static_cast<LRESULT>(r));
        } else if (cmd == "devicechange" && f.size() == 3) {
            unsigned long long event = 0;
            std::u16string volume;
            if (ParseU64(f[1], event) && (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) &&
                UnhexUtf16(f[2], volume, kMaxVolumeName) && !volume.empty())
                DeliverDeviceChange(static_cast<WPARAM>(event), volume);
        } else if (cmd == "req" && f.size() == 10) {
            unsigned long long id = 0, op = 0;
            long long a[6];
            bool ok = ParseU64(f[1], id) && ParseU64(f[2], op) && op <= static_cast<unsigned>(Op::IsWindow);
            for (int i = 0; i < 6 && ok; ++i) ok = ParseI64(f[4 + i], a[i]);
            if (!ok) return;
            Serve(id, static_cast<Op>(op), ToHwnd(f[3]), a);
        }
    }

    void Run() {
        Publish();
        std::string buffer;
        char chunk[8192];
        for (;;) {
            ssize_t k = recv(m_sock, chunk, sizeof chunk, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) break;
            buffer.append(chunk, static_cast<size_t>(k));
            size_t start = 0, nl;
            while ((nl = buffer.find('\n', start)) != std::string::npos) {
                Handle(buffer.substr(start, nl - start));
                start = nl + 1;
            }
            buffer.erase(0, start);
            if (buffer.size() > kMaxLine) break;
        }
        // The server is gone: the program goes on with what it has, and nobody waits on it.
        std::vector<unsigned long long> ids;
        {
            std::lock_guard<std::mutex> g(m_pendingLock);
            m_connected.store(false);
            for (auto& [id, item] : m_pending) ids.push_back(id);
        }
        for (auto id : ids) Complete(id, 0);
        Damaged();  // lets the flusher see the end
    }

    int m_sock;
    std::unique_ptr<Screen> m_local;
    std::atomic<bool> m_connected{true};
    std::mutex m_writeLock;  // after the tree lock
    std::map<HWND, SharedSurface> m_surfaces;  // under m_writeLock
    unsigned long long m_snapshot = 0;          // under the tree lock
    unsigned long long m_written = 0;           // under m_writeLock
    std::mutex m_pendingLock;
    std::map<unsigned long long, std::shared_ptr<SentItem>> m_pending;
    unsigned long long m_nextRequest = 0;
    std::atomic<bool> m_damaged{false};
    std::mutex m_flushLock;
    std::condition_variable m_flushWake;
};

std::atomic<RemoteScreen*> g_remote{nullptr};

}  // namespace

}  // namespace qrx::win::remote

namespace qrx::win {

void SurfaceDamaged() {
    if (remote::RemoteScreen* r = remote::g_remote.load()) r->Damaged();
}

}  // namespace qrx::win

namespace qrx::win::remote {

Screen* Connect(std::unique_ptr<Screen> local) {
    int fd = ConnectSocket(PlatformStatePath("screen.sock"));
    if (fd < 0) return nullptr;
    auto* screen = new RemoteScreen(fd, std::move(local));  // lives until exit, like the windows
    g_remote.store(screen);
    screen->Start();
    return screen;
}

bool Foreign(HWND h) {
    auto v = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h));
    if ((v >> 32) == 0 || (v >> 32) == static_cast<unsigned long long>(getpid())) return false;
    // A handle may come from another program before this one used the screen at all.
    if (!g_remote.load()) CurrentScreen();
    RemoteScreen* remote = g_remote.load();
    return remote && remote->Connected();
}

LRESULT Call(Op op, HWND h, LONG_PTR a, LONG_PTR b, LONG_PTR c, LONG_PTR d, LONG_PTR e, LONG_PTR f) {
    if (!Foreign(h)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const LONG_PTR args[6] = {a, b, c, d, e, f};
    return g_remote.load()->Request(op, h, args);
}

bool AllWindows(std::vector<screen::WindowInfo>& out, std::vector<DWORD>* threads) {
    if (!g_remote.load()) CurrentScreen();
    RemoteScreen* remote = g_remote.load();
    return remote && remote->List(out, threads);
}

bool BroadcastDeviceChange(WPARAM event, const std::u16string& volume) {
    if (!g_remote.load()) CurrentScreen();
    RemoteScreen* remote = g_remote.load();
    if (!remote || !remote->Connected()) return false;
    return Control("devicechange " + std::to_string(event) + " " + HexUtf16(volume), nullptr, 10, nullptr);
}

bool ForeignOwner(HWND h, DWORD* pid, DWORD* thread) {
    if (!Foreign(h)) return false;
    std::vector<screen::WindowInfo> list;
    std::vector<DWORD> threads;
    if (!AllWindows(list, &threads)) return false;
    for (size_t i = 0; i < list.size() && i < threads.size(); ++i) {
        if (list[i].hwnd != h) continue;
        if (pid) *pid = list[i].pid;
        if (thread) *thread = threads[i];
        return true;
    }
    return false;
}

}  // namespace qrx::win::remote
