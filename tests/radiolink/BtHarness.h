// The Bluetooth tests' pieces: a notify window that records what the library sends it, the debug log
// of the device root, and the module set up in-process.
#pragma once
#include <windows.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "qrx/boardapi.h"
#include "qrx/host.h"

extern std::vector<qrx::DeviceRecord> g_loadRecords;
extern std::string g_loadLog;
int UnloadChild();

// The messages of the root's debug log, each line without its stamp.
inline std::string DebugMessages() {
    std::ifstream in(qrx::DeviceRoot() + "/.platform/debug.log", std::ios::binary);
    std::string messages;
    for (std::string line; std::getline(in, line);) {
        size_t tick = line.find("] ");
        messages += (tick == std::string::npos ? line : line.substr(tick + 2)) + "\n";
    }
    return messages;
}

struct Notified {
    UINT msg;
    WPARAM param;
    std::string field;  // the text of a field request
};

// A window that records 1425 and the request messages. With its own thread it runs a message loop
// there (as the main window does); without, it lives on the creating thread, which pumps nothing.
class NotifyWindow {
public:
    using Handler = std::function<void(UINT msg, const Notified& n)>;

    explicit NotifyWindow(bool ownThread = true, Handler handler = nullptr) : m_handler(std::move(handler)) {
        if (!ownThread) {
            Create();
            return;
        }
        m_thread = std::thread([this] {
            Create();
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
            DestroyWindow(m_hWnd);
        });
        bounded::WaitUntil([this] { return m_ready.load(); });
    }
    ~NotifyWindow() {
        {
            std::lock_guard<std::mutex> g(s_lock);
            std::erase_if(s_windows, [this](const auto& w) { return w.second == this; });
        }
        if (m_thread.joinable()) {
            PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
            m_thread.join();
        } else {
            DestroyWindow(m_hWnd);
        }
    }
    HWND Hwnd() const { return m_hWnd; }
    std::vector<Notified> Messages() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_messages;
    }
    int Count(UINT msg, WPARAM param) const {
        int n = 0;
        for (const Notified& m : Messages()) n += m.msg == msg && m.param == param;
        return n;
    }
    int Count(UINT msg) const {
        int n = 0;
        for (const Notified& m : Messages()) n += m.msg == msg;
        return n;
    }
    bool WaitCount(UINT msg, WPARAM param, int n, int ms = 30000) const {
        return bounded::WaitUntil([&] { return Count(msg, param) >= n; }, ms);
    }

private:
    void Create() {
        static const ATOM atom = [] {
            WNDCLASSW wc = {};
            wc.lpfnWndProc = Proc;
            wc.lpszClassName = u"BT_NOTIFY_TEST";
            return RegisterClassW(&wc);
        }();
        (void)atom;
        m_threadId = GetCurrentThreadId();
        m_hWnd = CreateWindowExW(0, u"BT_NOTIFY_TEST", u"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        {
            std::lock_guard<std::mutex> g(s_lock);
            s_windows.push_back({m_hWnd, this});
        }
        m_ready = true;
    }
    static LRESULT CALLBACK Proc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg != 1425 && (msg < 1125 || msg > 1184)) return DefWindowProcW(hWnd, msg, wParam, lParam);
        NotifyWindow* self = nullptr;
        {
            std::lock_guard<std::mutex> g(s_lock);
            for (auto& w : s_windows)
                if (w.first == hWnd) self = w.second;
        }
        if (!self) return 0;
        // Pointers are fields; characters and flags are small.
        Notified n{msg, wParam, wParam > 255 ? std::string(reinterpret_cast<const char*>(wParam)) : std::string()};
        if (wParam > 255) n.param = 0xFFFF;
        {
            std::lock_guard<std::mutex> g(self->m_lock);
            self->m_messages.push_back(n);
        }
        if (self->m_handler) self->m_handler(msg, n);
        return 0;
    }

    Handler m_handler;
    HWND m_hWnd = nullptr;
    DWORD m_threadId = 0;
    std::atomic<bool> m_ready{false};
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::vector<Notified> m_messages;
    static inline std::mutex s_lock;
    static inline std::vector<std::pair<HWND, NotifyWindow*>> s_windows;
};
