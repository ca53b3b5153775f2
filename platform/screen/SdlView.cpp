#include "SdlView.h"

#include <SDL.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "SdlInput.h"
#include "qrx/screen.h"
#include "win/remote.h"

namespace qrx::screen {
namespace {

constexpr size_t kMaxQueued = 4096;  // input beyond this while the server is stuck is dropped

SDL_Window* g_window = nullptr;
SDL_Renderer* g_renderer = nullptr;
SDL_Texture* g_texture = nullptr;

// Wakes the window's loop for a new picture or the end; drivers without input are waited on here
// alone, the others through SDL's own wait, which a pushed event ends.
std::mutex g_wakeLock;
std::condition_variable g_wake;
bool g_woken = false;
std::atomic<bool> g_stop{false};

void Wake() {
    {
        std::lock_guard<std::mutex> g(g_wakeLock);
        g_woken = true;
    }
    g_wake.notify_one();
    SDL_Event wake{};
    wake.type = SDL_USEREVENT;
    SDL_PushEvent(&wake);
}

void WaitWoken() {
    std::unique_lock<std::mutex> lk(g_wakeLock);
    g_wake.wait(lk, [] { return g_woken; });
    g_woken = false;
}

void CloseSdl() {
    if (g_texture) SDL_DestroyTexture(g_texture);
    if (g_renderer) SDL_DestroyRenderer(g_renderer);
    if (g_window) SDL_DestroyWindow(g_window);
    g_texture = nullptr;
    g_renderer = nullptr;
    g_window = nullptr;
    SDL_Quit();
}

bool HasDisplay() {
    const char* x = std::getenv("DISPLAY");
    const char* wl = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wl && *wl);
}

// Feeds the pen and the keys to the server through its own control socket, one line and its
// answer at a time, so the window's input takes the very path of the control tool's.
class ControlFeed {
public:
    explicit ControlFeed(std::string path) : m_path(std::move(path)), m_thread([this] { Run(); }) {}
    ~ControlFeed() {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }

    void Push(std::string line) {
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_queue.size() >= kMaxQueued) return;
            m_queue.push_back(std::move(line));
        }
        m_wake.notify_one();
    }

private:
    bool Connect() {
        sockaddr_un addr{};
        if (m_path.size() >= sizeof addr.sun_path) return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, m_path.c_str(), m_path.size() + 1);
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
        return false;
    }

    // One command and its one-line answer; false drops the connection for a fresh one.
    bool Exchange(const std::string& line) {
        std::string text = line + "\n";
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t k = send(m_fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            sent += static_cast<size_t>(k);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        char c;
        for (size_t n = 0; n < 4096 && std::chrono::steady_clock::now() < deadline;) {
            pollfd p{m_fd, POLLIN, 0};
            int r = poll(&p, 1, 100);
            if (r < 0 && errno != EINTR) return false;
            if (r <= 0) continue;
            ssize_t k = recv(m_fd, &c, 1, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k != 1) return false;
            if (c == '\n') return true;
            ++n;
        }
        return false;
    }

    void Run() {
        for (;;) {
            std::string line;
            {
                std::unique_lock<std::mutex> lk(m_lock);
                m_wake.wait(lk, [&] { return m_done || !m_queue.empty(); });
                if (m_queue.empty()) return;  // done, with everything sent
                line = std::move(m_queue.front());
                m_queue.pop_front();
            }
            if (m_fd < 0 && !Connect()) continue;
            if (!Exchange(line)) {
                close(m_fd);
                m_fd = -1;
            }
        }
    }

    std::string m_path;
    int m_fd = -1;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::string> m_queue;
    bool m_done = false;
    std::thread m_thread;
};

// Takes the server's pictures, which it makes only when something on the screen changed; the
// window's thread shows the newest.
class Composer {
public:
    Composer() : m_thread([this] { win::remote::RunComposer([this](const std::vector<uint32_t>& p) { Put(p); }); }) {}
    ~Composer() {
        win::remote::StopComposer();
        m_thread.join();
    }

    // The newest picture when there is one not yet taken.
    bool Take(std::vector<uint32_t>& out) {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_fresh) return false;
        out.swap(m_frame);
        m_fresh = false;
        return true;
    }

private:
    void Put(const std::vector<uint32_t>& pixels) {
        if (pixels.size() != static_cast<size_t>(kWidth) * kHeight) return;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_frame = pixels;
            m_fresh = true;
        }
        Wake();
    }

    std::mutex m_lock;
    std::vector<uint32_t> m_frame;
    bool m_fresh = false;
    std::thread m_thread;
};

}  // namespace

bool OpenSdlView(bool forced, std::string* why) {
    if (!forced && !HasDisplay()) {
        *why = "no display";
        return false;
    }
    // Termination stays with the server's own handlers.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        *why = std::string("SDL: ") + SDL_GetError();
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    std::string name = driver ? driver : "";
    if (!forced && (name == "dummy" || name == "offscreen" || name.empty())) {
        *why = "no display (video driver '" + name + "')";
        SDL_Quit();
        return false;
    }
    g_window = SDL_CreateWindow("QRX", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, kWidth, kHeight, SDL_WINDOW_SHOWN);
    if (g_window) g_renderer = SDL_CreateRenderer(g_window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (g_window && !g_renderer) g_renderer = SDL_CreateRenderer(g_window, -1, 0);
    if (g_renderer) {
        // The window may come out larger than asked (scaling desktops); the pen still lands in
        // screen coordinates.
        SDL_RenderSetLogicalSize(g_renderer, kWidth, kHeight);
        g_texture = SDL_CreateTexture(g_renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, kWidth, kHeight);
    }
    if (!g_texture) {
        *why = std::string("SDL: ") + SDL_GetError();
        CloseSdl();
        return false;
    }
    *why = "video driver '" + name + "'";
    return true;
}

void StopSdlView() {
    g_stop.store(true);
    Wake();
}

unsigned long long RunSdlView(const std::string& socketPath) {
    unsigned long long frames = 0;
    const char* driver = SDL_GetCurrentVideoDriver();
    std::string name = driver ? driver : "";
    // SDL waits without polling only where its driver can be woken; the drivers without a display
    // have no input to wait for.
    const bool sdlWaits = name == "x11" || name == "wayland";
    const bool noInput = name == "dummy" || name == "offscreen";
    {
        ControlFeed feed(socketPath);
        Composer composer;
        SdlInput input;
        std::vector<uint32_t> frame;
        bool open = true, redraw = false;
        while (open && !g_stop.load()) {
            SDL_Event e;
            bool got;
            if (sdlWaits) {
                got = SDL_WaitEvent(&e) != 0;
            } else if (noInput) {
                WaitWoken();
                got = SDL_PollEvent(&e) != 0;
            } else {
                got = SDL_WaitEventTimeout(&e, 50) != 0;
            }
            if (got) {
                do {
                    if (e.type == SDL_QUIT ||
                        (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE)) {
                        open = false;
                        break;
                    }
                    if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_EXPOSED) redraw = true;
                    for (auto& line : input.Translate(e)) feed.Push(std::move(line));
                } while (SDL_PollEvent(&e));
            }
            bool fresh = composer.Take(frame);
            if (fresh) SDL_UpdateTexture(g_texture, nullptr, frame.data(), kWidth * 4);
            if (fresh || (redraw && frames > 0)) {
                redraw = false;
                SDL_RenderClear(g_renderer);
                SDL_RenderCopy(g_renderer, g_texture, nullptr, nullptr);
                SDL_RenderPresent(g_renderer);
                if (fresh) ++frames;
            }
        }
        if (input.PenDown()) {
            SDL_Event lift{};
            lift.type = SDL_WINDOWEVENT;
            lift.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
            for (auto& line : input.Translate(lift)) feed.Push(std::move(line));
        }
    }
    CloseSdl();
    return frames;
}

}  // namespace qrx::screen
