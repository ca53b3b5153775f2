// Message queues: sending within and across threads, posting, retrieval order, timers and waits.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <vector>

#include "DeviceRoot.h"
#include "qrx/host.h"
#include "qrx/screen.h"

namespace {

struct Rec {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
};
std::mutex g_lock;
std::vector<Rec> g_log;
std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool&)> g_hook;

LRESULT CALLBACK RecProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_log.push_back({h, m, w, l});
    }
    if (g_hook) {
        bool handled = false;
        LRESULT r = g_hook(h, m, w, l, handled);
        if (handled) return r;
    }
    return DefWindowProcW(h, m, w, l);
}

const WCHAR kClass[] = u"MsgTestRec";

HWND MakeWindow(DWORD style = WS_POPUP) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = RecProc;
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);  // once per process; later calls fail harmlessly
    return CreateWindowExW(0, kClass, u"", style, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
}

// Handles what is queued; WM_PAINT stays until a window procedure validates, so it is dispatched.
void Drain() {
    MSG m;
    for (int i = 0; i < 100000 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++i) DispatchMessageW(&m);
}

class MessageTest : public DeviceRootTest {
protected:
    void SetUp() override {
        g_hook = nullptr;
        std::lock_guard<std::mutex> g(g_lock);
        g_log.clear();
    }
    void TearDown() override {
        for (HWND h : made)
            if (IsWindow(h)) DestroyWindow(h);
        Drain();
        g_hook = nullptr;
    }
    HWND Make(DWORD style = WS_POPUP) {
        HWND h = MakeWindow(style);
        made.push_back(h);
        return h;
    }
    std::vector<HWND> made;
};

// A thread owning one window and pumping messages until WM_QUIT.
struct UiThread {
    HANDLE thread = nullptr;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> id{0};
    std::function<void(HWND)> body;  // runs after the window exists; default pumps

    void Start() {
        thread = CreateThread(nullptr, 0, &UiThread::Run, this, 0, nullptr);
        WaitForSingleObject(ready, 10000);
    }
    static DWORD WINAPI Run(LPVOID p) {
        auto* self = static_cast<UiThread*>(p);
        HWND h = MakeWindow();
        self->hwnd = h;
        self->id = GetCurrentThreadId();
        SetEvent(self->ready);
        if (self->body) {
            self->body(h);
        } else {
            MSG m;
            while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
        }
        if (IsWindow(h)) DestroyWindow(h);
        return 0;
    }
    void Stop() {
        if (!thread) return;
        PostThreadMessageW(id, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        thread = nullptr;
    }
    ~UiThread() {
        Stop();
        CloseHandle(ready);
    }
};

TEST_F(MessageTest, SameThreadSendIsDirectAndReentrant) {
    HWND h = Make();
    int depth = 0, deepest = 0;
    g_hook = [&](HWND hwnd, UINT m, WPARAM w, LPARAM, bool& handled) -> LRESULT {
        if (m != WM_USER) return 0;
        handled = true;
        EXPECT_FALSE(InSendMessage());
        ++depth;
        deepest = std::max(deepest, depth);
        LRESULT r = w == 0 ? 100 : SendMessageW(hwnd, WM_USER, w - 1, 0) + 1;
        --depth;
        return r;
    };
    EXPECT_EQ(SendMessageW(h, WM_USER, 4, 0), 104);
    EXPECT_EQ(deepest, 5);
    // A send never goes through the queue.
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, CrossThreadSendRunsOnOwnerThreadAndReplyReleasesEarly) {
    std::atomic<DWORD> handledOn{0};
    std::atomic<bool> inSend{false};
    HANDLE proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hook = [&](HWND, UINT m, WPARAM w, LPARAM, bool& handled) -> LRESULT {
        if (m == WM_USER) {
            handled = true;
            handledOn = GetCurrentThreadId();
            inSend = InSendMessage() != FALSE;
            return static_cast<LRESULT>(w * 2);
        }
        if (m == WM_USER + 1) {
            handled = true;
            EXPECT_TRUE(ReplyMessage(7));
            WaitForSingleObject(proceed, 10000);  // the sender already has its answer
            return 99;
        }
        return 0;
    };
    UiThread ui;
    ui.Start();
    EXPECT_EQ(SendMessageW(ui.hwnd, WM_USER, 21, 0), 42);
    EXPECT_EQ(handledOn.load(), ui.id.load());
    EXPECT_TRUE(inSend.load());
    EXPECT_EQ(SendMessageW(ui.hwnd, WM_USER + 1, 0, 0), 7);
    SetEvent(proceed);
    ui.Stop();
    CloseHandle(proceed);
}

TEST_F(MessageTest, TwoThreadsSendingToEachOtherDoNotLockUp) {
    HWND mine = Make();
    g_hook = [&](HWND hwnd, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (m == WM_USER && hwnd != mine) {
            handled = true;
            // On the worker, while the main thread waits in its own send to us.
            return SendMessageW(mine, WM_USER + 1, 0, 0) + 1;
        }
        if (m == WM_USER + 1 && hwnd == mine) {
            handled = true;
            EXPECT_TRUE(InSendMessage());
            return 41;
        }
        return 0;
    };
    UiThread ui;
    ui.Start();
    EXPECT_EQ(SendMessageW(ui.hwnd, WM_USER, 0, 0), 42);
    ui.Stop();
}

TEST_F(MessageTest, CrossThreadSendIsHandledDuringMessageBox) {
    std::atomic<int> answer{0};
    std::atomic<int> handledDuringBox{0};
    g_hook = [&](HWND, UINT m, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (m != WM_USER + 5) return 0;
        handled = true;
        if (FindWindowW(u"QrxMessageBox", nullptr)) ++handledDuringBox;
        return 55;
    };
    UiThread ui;
    ui.body = [&](HWND h) {
        answer = MessageBoxW(h, u"Continue?", u"Question", MB_YESNO);
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
    };
    ui.Start();
    ASSERT_TRUE(qrx::screen::WaitForWindow(u"QrxMessageBox", 10000));
    EXPECT_EQ(SendMessageW(ui.hwnd, WM_USER + 5, 0, 0), 55);
    EXPECT_EQ(handledDuringBox.load(), 1);
    // The owner is disabled while the box runs.
    EXPECT_FALSE(IsWindowEnabled(ui.hwnd));
    HWND box = FindWindowW(u"QrxMessageBox", u"Question");
    ASSERT_NE(box, nullptr);
    HWND no = GetDlgItem(box, IDNO);
    ASSERT_NE(no, nullptr);
    RECT r;
    ASSERT_TRUE(GetWindowRect(no, &r));
    qrx::screen::Tap((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_TRUE(qrx::screen::WaitIdle(10000));
    EXPECT_EQ(answer.load(), IDNO);
    EXPECT_TRUE(IsWindowEnabled(ui.hwnd));
    EXPECT_FALSE(IsWindow(box));
    ui.Stop();
}

TEST_F(MessageTest, DeadTargetsAnswerAtOnce) {
    HWND h = Make();
    DestroyWindow(h);
    SetLastError(0);
    EXPECT_EQ(SendMessageW(h, WM_USER, 0, 0), 0);
    EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

    // A window whose thread ends goes with it; a send waiting on that thread returns 0.
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UiThread ui;
    ui.body = [&](HWND) { WaitForSingleObject(go, 10000); };
    ui.Start();
    HWND target = ui.hwnd;
    struct Sender {
        HWND target;
        std::atomic<LRESULT> result{-1};
        static DWORD WINAPI Run(LPVOID p) {
            auto* s = static_cast<Sender*>(p);
            s->result = SendMessageW(s->target, WM_USER, 0, 0);
            return 0;
        }
    } sender{target};
    HANDLE st = CreateThread(nullptr, 0, &Sender::Run, &sender, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(st, 50), static_cast<DWORD>(WAIT_TIMEOUT));  // blocked: nobody pumps
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(st, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(sender.result.load(), 0);
    ui.Stop();
    EXPECT_FALSE(IsWindow(target));
    CloseHandle(st);
    CloseHandle(go);
}

TEST_F(MessageTest, PostedMessagesToADestroyedWindowAreDropped) {
    HWND a = Make(), b = Make();
    PostMessageW(a, WM_USER, 1, 0);
    PostMessageW(b, WM_USER, 2, 0);
    DestroyWindow(a);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE));
    EXPECT_EQ(m.hwnd, b);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
}

TEST_F(MessageTest, RetrievalOrderFiltersAndQuit) {
    HWND h = Make(WS_POPUP | WS_VISIBLE);
    Drain();
    SetTimer(h, 1, 10, nullptr);
    Sleep(30);
    InvalidateRect(h, nullptr, FALSE);
    PostMessageW(h, WM_USER, 1, 0);
    PostMessageW(h, WM_USER + 2, 2, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 3, 0);
    MSG m;
    // A filter picks a later message first.
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
    EXPECT_EQ(m.wParam, 2u);
    ASSERT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(intptr_t(-1)), 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_APP));
    EXPECT_EQ(m.hwnd, nullptr);
    // Posted first, then paint, then the timer.
    std::vector<UINT> order;
    for (int i = 0; i < 3 && GetMessageW(&m, nullptr, 0, 0); ++i) {
        order.push_back(m.message);
        DispatchMessageW(&m);
    }
    EXPECT_EQ(order, (std::vector<UINT>{WM_USER, WM_PAINT, WM_TIMER}));
    KillTimer(h, 1);
    PostMessageW(h, WM_USER, 0, 0);
    PostQuitMessage(3);
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    EXPECT_FALSE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(0x7777), 0, 0), -1);
}

TEST_F(MessageTest, PaintComesOnlyWhenTheQueueIsEmpty) {
    HWND h = Make(WS_POPUP | WS_VISIBLE);
    Drain();
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_PAINT, WM_PAINT, PM_NOREMOVE));
    InvalidateRect(h, nullptr, TRUE);
    for (int i = 0; i < 3; ++i) PostMessageW(h, WM_USER, i, 0);
    std::vector<UINT> order;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        order.push_back(m.message);
        DispatchMessageW(&m);  // the default procedure validates
    }
    EXPECT_EQ(order, (std::vector<UINT>{WM_USER, WM_USER, WM_USER, WM_PAINT}));
}

TEST_F(MessageTest, TranslateMakesCharactersAndPostingIsBounded) {
    HWND h = Make();
    PostMessageW(h, WM_KEYDOWN, 'A', 1);
    PostMessageW(h, WM_USER, 0, 0);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(TranslateMessage(&m));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_CHAR));
    EXPECT_EQ(m.wParam, static_cast<WPARAM>(u'a'));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    m.message = WM_KEYDOWN;
    m.wParam = VK_SHIFT;
    EXPECT_FALSE(TranslateMessage(&m));

    int accepted = 0;
    while (PostMessageW(h, WM_USER, 0, 0) && accepted < 20000) ++accepted;
    EXPECT_LT(accepted, 20000);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    Drain();
    EXPECT_TRUE(PostMessageW(h, WM_USER, 0, 0));
    EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0u, WM_USER, 0, 0));
}

int g_procCalls = 0;
VOID CALLBACK CountingTimerProc(HWND, UINT, UINT_PTR, DWORD) { ++g_procCalls; }

TEST_F(MessageTest, TimersReplaceByIdAndDoNotStack) {
    HWND h = Make();
    // Same window and id: the second setting replaces the first.
    EXPECT_EQ(SetTimer(h, 7, 100000, nullptr), 7u);
    EXPECT_EQ(SetTimer(h, 7, 10, nullptr), 7u);
    Sleep(100);  // many periods pass without pumping
    MSG m;
    int timers = 0;
    while (PeekMessageW(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) ++timers;
    EXPECT_EQ(timers, 1);
    EXPECT_TRUE(KillTimer(h, 7));
    EXPECT_FALSE(KillTimer(h, 7));

    // Without a window each timer gets its own identifier; a TIMERPROC is called by dispatch.
    UINT_PTR a = SetTimer(nullptr, 0, 10, CountingTimerProc);
    UINT_PTR b = SetTimer(nullptr, 0, 10, CountingTimerProc);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    g_procCalls = 0;
    while (g_procCalls < 2 && GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
    EXPECT_EQ(g_procCalls, 2);
    KillTimer(nullptr, a);
    KillTimer(nullptr, b);
    // A posted WM_TIMER naming an unknown procedure is not called.
    PostMessageW(h, WM_TIMER, 1, reinterpret_cast<LPARAM>(&CountingTimerProc));
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
    DispatchMessageW(&m);
    EXPECT_EQ(g_procCalls, 2);
    // Timers of a destroyed window die with it.
    SetTimer(h, 1, 10, nullptr);
    DestroyWindow(h);
    Sleep(30);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
}

TEST_F(MessageTest, TimersFireDuringAModalLoop) {
    HWND h = Make(WS_POPUP | WS_VISIBLE);
    volatile bool ended = false;
    int ticks = 0;
    g_hook = [&](HWND, UINT msg, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (msg == WM_TIMER) {
            handled = true;
            if (++ticks == 3) ended = true;
        }
        return 0;
    };
    SetTimer(h, 1, 10, nullptr);
    EXPECT_TRUE(qrx::RunModalLoop(nullptr, &ended));
    EXPECT_EQ(ticks, 3);
    KillTimer(h, 1);
}

TEST_F(MessageTest, TimersFollowTheDeviceClock) {
    setenv("QRX_TIME_SCALE", "100", 1);
    qrx::ReloadHostConfig();
    HWND h = Make();
    DWORD start = GetTickCount();
    SetTimer(h, 1, 20000, nullptr);  // 20 s of device time: 0.2 s here
    MSG m;
    ASSERT_TRUE(GetMessageW(&m, h, WM_TIMER, WM_TIMER));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 20000u);
    EXPECT_LT(elapsed, 20000u * 10);
    KillTimer(h, 1);
    unsetenv("QRX_TIME_SCALE");
    qrx::ReloadHostConfig();
}

TEST_F(MessageTest, MsgWaitWakesOnObjectsMessagesAndTimeouts) {
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 20, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(ev);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0);
    // A message posted from another thread wakes the wait.
    struct Poster {
        DWORD target;
        static DWORD WINAPI Run(LPVOID p) {
            Sleep(20);
            PostThreadMessageW(static_cast<Poster*>(p)->target, WM_APP, 0, 0);
            return 0;
        }
    } poster{GetCurrentThreadId()};
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes sure the queue exists
    HANDLE t = CreateThread(nullptr, 0, &Poster::Run, &poster, 0, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &ev, FALSE, 10000, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(PeekMessageW(&m, nullptr, WM_APP, WM_APP, PM_REMOVE));
    // Input outside the mask does not wake it; a timer in the mask does.
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_KEY), static_cast<DWORD>(WAIT_TIMEOUT));
    UINT_PTR id = SetTimer(nullptr, 0, 20, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 10000, QS_TIMER), WAIT_OBJECT_0);
    KillTimer(nullptr, id);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    CloseHandle(ev);
}

}  // namespace
