// Thread message queues: posting, sending between threads, retrieval with WM_PAINT and WM_TIMER
// made when nothing is queued, timers on the device clock, and waits that wake on messages.
#include <algorithm>
#include <atomic>

#include "qrx/handleapi.h"
#include "qrx/synchapi.h"
#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {
namespace {

std::unordered_map<DWORD, std::shared_ptr<Queue>>& Queues() {  // guarded by KernelLock()
    static auto* map = new std::unordered_map<DWORD, std::shared_ptr<Queue>>;
    return *map;
}

std::atomic<unsigned long long> g_postSeq{0};

DWORD InputClass(UINT msg) {
    if (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) return QS_KEY;
    if (msg == WM_MOUSEMOVE) return QS_MOUSEMOVE;
    if (msg > WM_MOUSEMOVE && msg <= WM_MOUSELAST) return QS_MOUSEBUTTON;
    return QS_POSTMESSAGE;
}

bool TimerDue(const Queue& q, unsigned long long now) {
    for (const Timer& t : q.timers)
        if (t.due <= now) return true;
    return false;
}

// The thread's queue as a waitable object: signalled while input of the wake mask is there.
class QueueSignal : public KernelObject {
public:
    explicit QueueSignal(std::weak_ptr<Queue> q) : m_queue(std::move(q)) {}
    bool Waitable() const override { return true; }
    bool IsSignaled(DWORD) const override {
        auto q = m_queue.lock();
        if (!q) return false;
        DWORD mask = q->wakeMask;
        if ((mask & QS_SENDMESSAGE) && !q->sent.empty()) return true;
        for (const Posted& p : q->posted)
            if (mask & InputClass(p.msg.message)) return true;
        if ((mask & QS_POSTMESSAGE) && q->quit) return true;
        if ((mask & QS_PAINT) && q->paintCount > 0) return true;
        return (mask & QS_TIMER) && TimerDue(*q, DeviceMonotonicMs());
    }

private:
    std::weak_ptr<Queue> m_queue;
};

// A thread's end releases its queue and its windows, and answers whoever still waits on it.
struct QueueHolder {
    std::shared_ptr<Queue> queue;
    ~QueueHolder() {
        if (!queue) return;
        ForgetThreadWindows(queue->thread);
        HANDLE h = nullptr;
        {
            std::lock_guard<std::mutex> g(KernelLock());
            queue->dead = true;
            for (auto& item : queue->sent) item->done = true;
            queue->sent.clear();
            queue->posted.clear();
            queue->timers.clear();
            Queues().erase(queue->thread);
            h = queue->waitHandle;
        }
        KernelCond().notify_all();
        if (h) ReleaseHandle(h);
    }
};

thread_local QueueHolder t_queue;
// The cross-thread message this thread is handling, for InSendMessage and ReplyMessage.
thread_local SentItem* t_current = nullptr;
thread_local DWORD t_lastTime = 0;
thread_local POINT t_lastPos{0, 0};

bool InRange(UINT msg, UINT lo, UINT hi) { return (lo == 0 && hi == 0) || (msg >= lo && msg <= hi); }

bool MatchesWindow(HWND msgWnd, HWND filter) {
    if (!filter) return true;
    if (filter == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return msgWnd == nullptr;
    return msgWnd == filter;
}

void Finish(SentItem& item, LRESULT result) {
    {
        std::lock_guard<std::mutex> g(KernelLock());
        if (!item.done) {
            item.result = result;
            item.done = true;
        }
    }
    KernelCond().notify_all();
}

// Handles one message sent from another thread (or a task); no lock held.
void HandleSent(const std::shared_ptr<SentItem>& item) {
    if (item->task) {
        item->task();
        Finish(*item, 0);
        return;
    }
    LRESULT r = 0;
    DWORD owner = ThreadOf(item->hwnd);
    if (owner && owner == GetCurrentThreadId()) {
        SentItem* outer = t_current;
        t_current = item.get();
        r = CallProc(item->hwnd, item->msg, item->wParam, item->lParam);
        t_current = outer;
    }
    Finish(*item, r);
}

void MarkWaiting(Queue& q, bool waiting) {
    q.waiting = waiting;
    if (waiting) KernelCond().notify_all();  // WaitIdle watches for this
}

unsigned long long NextDue(const Queue& q) {
    unsigned long long next = ~0ull;
    for (const Timer& t : q.timers) next = std::min(next, t.due);
    return next;
}

// Waits for a change of the queue or the next timer; kernel lock held through lk.
void WaitForChange(std::unique_lock<std::mutex>& lk, Queue& q, unsigned long long seen) {
    if (q.change != seen || !q.sent.empty()) return;
    unsigned long long next = NextDue(q);
    MarkWaiting(q, true);
    if (next == ~0ull) {
        KernelCond().wait(lk);
    } else {
        unsigned long long now = DeviceMonotonicMs();
        if (next > now) {
            unsigned long long span = std::min<unsigned long long>(next - now, 0x7FFFFFFFull);
            KernelCond().wait_until(lk, DeadlineAfter(static_cast<DWORD>(span)));
        }
    }
    MarkWaiting(q, false);
}

bool PostEntry(DWORD thread, Posted p, bool front, bool coalesceMove) {
    {
        std::lock_guard<std::mutex> g(KernelLock());
        auto q = QueueOfLocked(thread);
        if (!q) {
            SetError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        if (coalesceMove && !q->posted.empty()) {
            Posted& last = q->posted.back();
            if (last.msg.message == WM_MOUSEMOVE && last.msg.hwnd == p.msg.hwnd) {
                last.msg = p.msg;
                ++q->change;
                return true;
            }
        }
        if (q->posted.size() >= kMaxPosted) {
            SetError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        p.seq = ++g_postSeq;
        if (front)
            q->posted.push_front(p);
        else
            q->posted.push_back(p);
        ++q->change;
    }
    KernelCond().notify_all();
    return true;
}

MSG MakeMsg(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    m.pt = CurrentScreen().PenPosition();
    return m;
}

// The pen was routed when it was queued; the platform routes pen messages when they are read. A
// capture the thread took since then gets it; pen routed to a capture released since then goes to
// the window under it (the next key's tap must not land on the key before). False: not delivered here.
bool ToCapture(Posted& p) {
    MSG& m = p.msg;
    const DWORD self = GetCurrentThreadId();
    Window* to = nullptr;
    DWORD elsewhere = 0;
    {
        TreeLock g(T().lock);
        Window* c = Find(T().capture);
        if (c && !c->destroying) {
            if (c->thread != self) return !p.captureOnly;
            to = c;
        } else if (p.byCapture) {
            Window* w = HitTest(m.pt);
            if (!w || !EnabledChain(w)) return false;
            if (w->thread == self) {
                to = w;
            } else {
                elsewhere = w->thread;
                m.hwnd = w->hwnd;
                POINT o = ScreenOrigin(w);
                m.lParam = MAKELPARAM(m.pt.x - o.x, m.pt.y - o.y);
            }
        } else {
            return !p.captureOnly;
        }
        if (to) {
            POINT o = ScreenOrigin(to);
            m.hwnd = to->hwnd;
            m.lParam = MAKELPARAM(m.pt.x - o.x, m.pt.y - o.y);
        }
    }
    if (elsewhere) {
        // Another thread's window is under the pen now: it is that thread's input.
        PostInput(m.hwnd, elsewhere, m.message, m.wParam, m.lParam, m.pt, p.clickActivate);
        return false;
    }
    return true;
}

// The retrieval of GetMessageW and PeekMessageW.
bool Retrieve(MSG* out, HWND filter, UINT lo, UINT hi, bool remove, bool wait) {
    auto q = CurrentQueue();
    std::unique_lock<std::mutex> lk(KernelLock());
    for (;;) {
        unsigned long long seen = q->change;
        if (!q->sent.empty()) {
            auto item = q->sent.front();
            q->sent.pop_front();
            lk.unlock();
            HandleSent(item);
            lk.lock();
            continue;
        }
        bool again = false;
        for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
            if (!MatchesWindow(it->msg.hwnd, filter) || !InRange(it->msg.message, lo, hi)) continue;
            Posted p = *it;
            if (remove) q->posted.erase(it);
            lk.unlock();
            bool deliver = !p.pen || ToCapture(p);
            if (!deliver || (p.msg.hwnd && !IsWindow(p.msg.hwnd))) {
                // The window is gone: its messages are dropped.
                lk.lock();
                if (!remove) {
                    auto& list = q->posted;
                    list.erase(std::remove_if(list.begin(), list.end(), [&](const Posted& x) { return x.seq == p.seq; }),
                               list.end());
                }
                again = true;
                break;
            }
            if (remove && p.clickActivate) ClickActivate(p.msg.hwnd);
            *out = p.msg;
            t_lastTime = p.msg.time;
            t_lastPos = p.msg.pt;
            return true;
        }
        if (again) continue;
        if (q->quit) {
            *out = MakeMsg(nullptr, WM_QUIT, static_cast<WPARAM>(q->quitCode), 0);
            if (remove) q->quit = false;
            return true;
        }
        if (q->paintCount > 0 && InRange(WM_PAINT, lo, hi) && filter != reinterpret_cast<HWND>(intptr_t(-1))) {
            lk.unlock();
            HWND h = nullptr;
            {
                TreeLock g(T().lock);
                Window* w = FindPaintWindow(q->thread, filter);
                if (w) h = w->hwnd;
            }
            if (h) {
                *out = MakeMsg(h, WM_PAINT, 0, 0);
                t_lastTime = out->time;
                t_lastPos = out->pt;
                return true;
            }
            lk.lock();
            if (q->change != seen) continue;
        }
        if (!q->timers.empty() && InRange(WM_TIMER, lo, hi)) {
            unsigned long long now = DeviceMonotonicMs();
            Timer* best = nullptr;
            for (Timer& t : q->timers) {
                if (t.due > now || !MatchesWindow(t.hwnd, filter)) continue;
                if (!best || t.due < best->due) best = &t;
            }
            if (best) {
                // At most one WM_TIMER per timer: the next one counts from now.
                if (remove) best->due = now + best->elapse;
                Timer t = *best;
                lk.unlock();
                *out = MakeMsg(t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc));
                t_lastTime = out->time;
                t_lastPos = out->pt;
                return true;
            }
        }
        if (!wait) return false;
        WaitForChange(lk, *q, seen);
    }
}

char16_t CharOfKey(WPARAM vk) {
    if ((vk >= '0' && vk <= '9')) return static_cast<char16_t>(vk);
    if (vk >= 'A' && vk <= 'Z') return static_cast<char16_t>(vk - 'A' + 'a');
    if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9) return static_cast<char16_t>('0' + (vk - VK_NUMPAD0));
    switch (vk) {
        case VK_SPACE: return u' ';
        case VK_RETURN: return u'\r';
        case VK_BACK: return 8;
        case VK_TAB: return u'\t';
        case VK_ESCAPE: return 0x1B;
        case VK_MULTIPLY: return u'*';
        case VK_ADD: return u'+';
        case VK_SUBTRACT: return u'-';
        case VK_DECIMAL: return u'.';
        case VK_DIVIDE: return u'/';
        case 0xBA: return u';';
        case 0xBB: return u'=';
        case 0xBC: return u',';
        case 0xBD: return u'-';
        case 0xBE: return u'.';
        case 0xBF: return u'/';
        case 0xC0: return u'`';
        case 0xDB: return u'[';
        case 0xDC: return u'\\';
        case 0xDD: return u']';
        case 0xDE: return u'\'';
        default: return 0;
    }
}

}  // namespace

std::shared_ptr<Queue> CurrentQueue() {
    if (t_queue.queue) return t_queue.queue;
    auto q = std::make_shared<Queue>();
    q->thread = GetCurrentThreadId();
    q->waitHandle = NewHandle(std::make_shared<QueueSignal>(q));
    {
        std::lock_guard<std::mutex> g(KernelLock());
        Queues()[q->thread] = q;
    }
    t_queue.queue = q;
    return q;
}

std::shared_ptr<Queue> QueueOfLocked(DWORD thread) {
    auto& map = Queues();
    auto it = map.find(thread);
    if (it == map.end() || it->second->dead) return nullptr;
    return it->second;
}

std::vector<std::shared_ptr<Queue>> AllQueuesLocked() {
    std::vector<std::shared_ptr<Queue>> out;
    for (auto& [id, q] : Queues())
        if (!q->dead) out.push_back(q);
    return out;
}

void AdjustPaintCount(DWORD thread, int delta) {
    {
        std::lock_guard<std::mutex> g(KernelLock());
        auto q = QueueOfLocked(thread);
        if (!q) return;
        q->paintCount = std::max(0, q->paintCount + delta);
        ++q->change;
    }
    if (delta > 0) KernelCond().notify_all();
}

void AdjustWindowCount(DWORD thread, int delta) {
    std::lock_guard<std::mutex> g(KernelLock());
    auto q = QueueOfLocked(thread);
    if (q) q->windowCount = std::max(0, q->windowCount + delta);
}

bool PostInput(HWND hwnd, DWORD thread, UINT msg, WPARAM wParam, LPARAM lParam, POINT pt, bool clickActivate,
               bool captureOnly, bool byCapture) {
    Posted p;
    p.msg.hwnd = hwnd;
    p.msg.message = msg;
    p.msg.wParam = wParam;
    p.msg.lParam = lParam;
    p.msg.time = GetTickCount();
    p.msg.pt = pt;
    p.clickActivate = clickActivate;
    p.pen = msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST;
    p.captureOnly = captureOnly;
    p.byCapture = byCapture;
    return PostEntry(thread, p, false, msg == WM_MOUSEMOVE);
}

bool RunOnThread(DWORD thread, std::function<void()> task) {
    if (thread == GetCurrentThreadId()) {
        task();
        return true;
    }
    auto item = std::make_shared<SentItem>();
    item->notify = true;
    item->task = std::move(task);
    {
        std::lock_guard<std::mutex> g(KernelLock());
        auto q = QueueOfLocked(thread);
        if (!q) return false;
        q->sent.push_back(item);
        ++q->change;
    }
    KernelCond().notify_all();
    return true;
}

void KillWindowTimers(DWORD thread, const std::vector<HWND>& windows) {
    std::lock_guard<std::mutex> g(KernelLock());
    auto q = QueueOfLocked(thread);
    if (!q) return;
    auto& list = q->timers;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Timer& t) {
                                  return t.hwnd && std::find(windows.begin(), windows.end(), t.hwnd) != windows.end();
                              }),
               list.end());
}

bool QueueIdle(const Queue& q, unsigned long long nowMs) {
    return q.posted.empty() && q.sent.empty() && q.paintCount == 0 && !TimerDue(q, nowMs);
}

}  // namespace qrx::win

using namespace qrx::win;
using qrx::SetError;

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == HWND_BROADCAST) {
        std::vector<std::pair<HWND, DWORD>> targets;
        {
            TreeLock g(T().lock);
            for (HWND h : T().top)
                if (Window* w = Find(h)) targets.emplace_back(h, w->thread);
        }
        for (auto& [h, thread] : targets) {
            Posted p;
            p.msg = MakeMsg(h, Msg, wParam, lParam);
            PostEntry(thread, p, false, false);
        }
        return TRUE;
    }
    if (!hWnd) return PostThreadMessageW(GetCurrentThreadId(), Msg, wParam, lParam);
    if (remote::Foreign(hWnd))
        return remote::Call(remote::Op::Post, hWnd, static_cast<LONG_PTR>(Msg), static_cast<LONG_PTR>(wParam), lParam)
                   ? TRUE
                   : FALSE;
    DWORD thread = ThreadOf(hWnd);
    if (!thread) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Posted p;
    p.msg = MakeMsg(hWnd, Msg, wParam, lParam);
    if (!PostEntry(thread, p, false, false)) {
        if (GetLastError() == ERROR_INVALID_THREAD_ID) SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (idThread == GetCurrentThreadId()) CurrentQueue();
    Posted p;
    p.msg = MakeMsg(nullptr, Msg, wParam, lParam);
    return PostEntry(idThread, p, false, false) ? TRUE : FALSE;
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == HWND_BROADCAST) {
        std::vector<HWND> targets;
        {
            TreeLock g(T().lock);
            targets = T().top;
        }
        for (HWND h : targets) SendMessageW(h, Msg, wParam, lParam);
        return 0;
    }
    if (remote::Foreign(hWnd))
        return remote::Call(remote::Op::Send, hWnd, static_cast<LONG_PTR>(Msg), static_cast<LONG_PTR>(wParam), lParam);
    DWORD thread = ThreadOf(hWnd);
    if (!thread) {
        if (hWnd == kDesktop) return DefWindowProcW(hWnd, Msg, wParam, lParam);
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (thread == GetCurrentThreadId()) {
        SentItem* outer = t_current;
        t_current = nullptr;
        LRESULT r = CallProc(hWnd, Msg, wParam, lParam);
        t_current = outer;
        return r;
    }
    CurrentQueue();  // before the target can answer with a send of its own, this thread needs its queue
    auto item = std::make_shared<SentItem>();
    item->hwnd = hWnd;
    item->msg = Msg;
    item->wParam = wParam;
    item->lParam = lParam;
    std::unique_lock<std::mutex> lk(qrx::KernelLock());
    auto target = QueueOfLocked(thread);
    if (!target) return 0;
    target->sent.push_back(item);
    ++target->change;
    qrx::KernelCond().notify_all();
    lk.unlock();
    return qrx::win::WaitSentDone(item);
}

namespace qrx::win {

// Messages sent to this thread meanwhile are handled, so two threads sending to each other do not
// lock up.
LRESULT WaitSentDone(const std::shared_ptr<SentItem>& item) {
    auto me = CurrentQueue();
    std::unique_lock<std::mutex> lk(qrx::KernelLock());
    for (;;) {
        if (item->done) return item->result;
        if (!me->sent.empty()) {
            auto mine = me->sent.front();
            me->sent.pop_front();
            lk.unlock();
            HandleSent(mine);
            lk.lock();
            continue;
        }
        MarkWaiting(*me, true);
        qrx::KernelCond().wait(lk);
        MarkWaiting(*me, false);
    }
}

}  // namespace qrx::win

BOOL SendNotifyMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == HWND_BROADCAST) {
        std::vector<HWND> targets;
        {
            TreeLock g(T().lock);
            targets = T().top;
        }
        for (HWND h : targets) SendNotifyMessageW(h, Msg, wParam, lParam);
        return TRUE;
    }
    DWORD thread = ThreadOf(hWnd);
    if (!thread) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (thread == GetCurrentThreadId()) {
        SendMessageW(hWnd, Msg, wParam, lParam);
        return TRUE;
    }
    auto item = std::make_shared<SentItem>();
    item->hwnd = hWnd;
    item->msg = Msg;
    item->wParam = wParam;
    item->lParam = lParam;
    item->notify = true;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        auto q = QueueOfLocked(thread);
        if (!q) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q->sent.push_back(item);
        ++q->change;
    }
    qrx::KernelCond().notify_all();
    return TRUE;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg) {
        SetError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd && hWnd != reinterpret_cast<HWND>(intptr_t(-1)) && !IsWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (!lpMsg) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (hWnd && hWnd != reinterpret_cast<HWND>(intptr_t(-1)) && !IsWindow(hWnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return Retrieve(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false) ? TRUE : FALSE;
}

BOOL WaitMessage() {
    auto q = CurrentQueue();
    std::unique_lock<std::mutex> lk(qrx::KernelLock());
    for (;;) {
        unsigned long long seen = q->change;
        if (!q->sent.empty()) {
            auto item = q->sent.front();
            q->sent.pop_front();
            lk.unlock();
            HandleSent(item);
            lk.lock();
            continue;
        }
        if (!q->posted.empty() || q->quit || q->paintCount > 0 || TimerDue(*q, qrx::DeviceMonotonicMs())) return TRUE;
        WaitForChange(lk, *q, seen);
    }
}

DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                  DWORD dwFlags) {
    if (nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && !pHandles)) {
        SetError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto q = CurrentQueue();
    std::vector<HANDLE> handles(pHandles, pHandles + nCount);
    handles.push_back(q->waitHandle);
    const bool waitAll = (dwFlags & MWMO_WAITALL) != 0;
    const unsigned long long start = qrx::DeviceMonotonicMs();
    for (;;) {
        unsigned long long now = qrx::DeviceMonotonicMs();
        DWORD span = INFINITE;
        if (dwMilliseconds != INFINITE) {
            unsigned long long used = now - start;
            span = used >= dwMilliseconds ? 0 : static_cast<DWORD>(dwMilliseconds - used);
        }
        unsigned long long next = ~0ull;
        {
            std::lock_guard<std::mutex> g(qrx::KernelLock());
            q->wakeMask = dwWakeMask;
            if (dwWakeMask & QS_TIMER) next = NextDue(*q);
            MarkWaiting(*q, true);
        }
        // A timer coming due does not notify anybody: wake for it.
        bool timerBound = false;
        if (next != ~0ull) {
            unsigned long long toTimer = next > now ? next - now : 0;
            if (span == INFINITE || toTimer < span) {
                span = static_cast<DWORD>(std::min<unsigned long long>(toTimer, 0x7FFFFFFEull));
                timerBound = true;
            }
        }
        DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), waitAll ? TRUE : FALSE,
                                         span);
        {
            std::lock_guard<std::mutex> g(qrx::KernelLock());
            q->wakeMask = QS_ALLINPUT;
            MarkWaiting(*q, false);
        }
        if (r != WAIT_TIMEOUT || !timerBound) return r;
    }
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask) {
    return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask, fWaitAll ? MWMO_WAITALL : 0);
}

BOOL TranslateMessage(const MSG* lpMsg) {
    if (!lpMsg || lpMsg->message != WM_KEYDOWN) return FALSE;
    char16_t c = CharOfKey(lpMsg->wParam);
    if (!c) return FALSE;
    // The character comes next, ahead of anything queued meanwhile.
    Posted p;
    p.msg = *lpMsg;
    p.msg.message = WM_CHAR;
    p.msg.wParam = c;
    PostEntry(GetCurrentThreadId(), p, true, false);
    return TRUE;
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
    if (!lpMsg) return 0;
    if (lpMsg->message == WM_TIMER && lpMsg->lParam) {
        // Only a procedure this thread's timers hold is called: a posted WM_TIMER could carry any value.
        auto proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        bool known = false;
        {
            auto q = CurrentQueue();
            std::lock_guard<std::mutex> g(qrx::KernelLock());
            for (const Timer& t : q->timers)
                if (t.hwnd == lpMsg->hwnd && t.id == lpMsg->wParam && t.proc == proc) known = true;
        }
        if (known) {
            proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
            return 0;
        }
    }
    if (!lpMsg->hwnd) return 0;
    DWORD thread = ThreadOf(lpMsg->hwnd);
    if (!thread) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (thread != GetCurrentThreadId()) {
        SetError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    SentItem* outer = t_current;
    t_current = nullptr;
    LRESULT r = CallProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
    t_current = outer;
    return r;
}

void PostQuitMessage(int nExitCode) {
    auto q = CurrentQueue();
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        q->quit = true;
        q->quitCode = nExitCode;
        ++q->change;
    }
    qrx::KernelCond().notify_all();
}

LONG GetMessageTime() { return static_cast<LONG>(t_lastTime); }

DWORD GetMessagePos() {
    return static_cast<DWORD>(MAKELONG(static_cast<WORD>(t_lastPos.x), static_cast<WORD>(t_lastPos.y)));
}

BOOL InSendMessage() { return t_current != nullptr; }

BOOL ReplyMessage(LRESULT lResult) {
    if (!t_current) return FALSE;
    if (!t_current->notify) Finish(*t_current, lResult);
    return TRUE;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    const DWORD self = GetCurrentThreadId();
    if (hWnd) {
        DWORD thread = ThreadOf(hWnd);
        if (!thread) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (thread != self) {
            SetError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    UINT elapse = std::max<UINT>(10, std::min<UINT>(uElapse, 0x7FFFFFFFu));
    auto q = CurrentQueue();
    UINT_PTR result = 0;
    {
        std::lock_guard<std::mutex> g(qrx::KernelLock());
        unsigned long long now = qrx::DeviceMonotonicMs();
        Timer* found = nullptr;
        if (hWnd || nIDEvent) {
            for (Timer& t : q->timers)
                if (t.hwnd == hWnd && t.id == nIDEvent) found = &t;
        }
        if (!found) {
            Timer t;
            t.hwnd = hWnd;
            if (hWnd) {
                t.id = nIDEvent;
            } else {
                // A fresh identifier, not one of the thread's other timers.
                for (;;) {
                    UINT_PTR id = q->nextTimerId++;
                    if (id == 0) continue;
                    bool used = std::any_of(q->timers.begin(), q->timers.end(),
                                            [&](const Timer& x) { return !x.hwnd && x.id == id; });
                    if (!used) {
                        t.id = id;
                        break;
                    }
                }
            }
            q->timers.push_back(t);
            found = &q->timers.back();
        }
        found->elapse = elapse;
        found->proc = lpTimerFunc;
        found->due = now + elapse;
        // With a window, the platform answers any non-zero value; the identifier serves best.
        result = hWnd ? (found->id ? found->id : 1) : found->id;
        ++q->change;
    }
    qrx::KernelCond().notify_all();
    return result;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    if (hWnd) {
        DWORD thread = ThreadOf(hWnd);
        if (!thread) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (thread != GetCurrentThreadId()) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    auto q = CurrentQueue();
    std::lock_guard<std::mutex> g(qrx::KernelLock());
    auto& list = q->timers;
    auto it = std::find_if(list.begin(), list.end(), [&](const Timer& t) { return t.hwnd == hWnd && t.id == uIDEvent; });
    if (it == list.end()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    list.erase(it);
    return TRUE;
}
