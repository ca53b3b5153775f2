// Storage volumes: taking a volume out and putting it back keeps its content, bad names touch
// nothing, and WM_DEVICECHANGE reaches every top-level window on its own thread.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "DeviceRoot.h"
#include "qrx/host.h"
#include "qrx/screen.h"

namespace fs = std::filesystem;

namespace {

struct Event {
    HWND hwnd;
    DWORD thread;
    WPARAM code;
    DWORD size, type;
    std::u16string name;
};
std::mutex g_lock;
std::vector<Event> g_events;
HANDLE g_busy = nullptr;     // a window procedure holds its thread here when set
HANDLE g_entered = nullptr;  // and tells so here

LRESULT CALLBACK VolumeProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_DEVICECHANGE) {
        Event e{h, GetCurrentThreadId(), w, 0, 0, {}};
        if (const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(l)) {
            e.size = hdr->dbch_size;
            e.type = hdr->dbch_devicetype;
            if (hdr->dbch_devicetype == DBT_DEVTYP_PORT) {
                const WCHAR* name = reinterpret_cast<const DEV_BROADCAST_PORT*>(l)->dbcp_name;
                e.name = name;
            }
        }
        std::lock_guard<std::mutex> g(g_lock);
        g_events.push_back(e);
        return TRUE;
    }
    if (m == WM_APP && g_busy) {
        SetEvent(g_entered);
        WaitForSingleObject(g_busy, 30000);
    }
    return DefWindowProcW(h, m, w, l);
}

HWND MakeWindow(HWND parent = nullptr) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = VolumeProc;
    wc.lpszClassName = u"VolumeTestWindow";
    RegisterClassW(&wc);  // once per process; later calls fail harmlessly
    return CreateWindowExW(0, u"VolumeTestWindow", u"", parent ? WS_CHILD : WS_POPUP, 0, 0, 50, 50, parent, nullptr,
                           nullptr, nullptr);
}

void Drain() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

std::vector<Event> Events() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_events;
}

bool WaitForEvents(size_t count) {
    return bounded::WaitUntil([&] {
        Drain();
        return Events().size() >= count;
    });
}

// A thread with one window, handling messages until WM_QUIT.
class UiThread {
public:
    UiThread() {
        m_thread = std::thread([this] {
            HWND h = MakeWindow();
            m_id = GetCurrentThreadId();
            m_hwnd = h;
            MSG m;
            while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
            DestroyWindow(h);
        });
        while (!m_hwnd.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~UiThread() {
        PostThreadMessageW(m_id, WM_QUIT, 0, 0);
        m_thread.join();
    }
    HWND Window() const { return m_hwnd.load(); }
    DWORD Id() const { return m_id.load(); }

private:
    std::atomic<HWND> m_hwnd{nullptr};
    std::atomic<DWORD> m_id{0};
    std::thread m_thread;
};

class VolumeTest : public DeviceRootTest {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> g(g_lock);
        g_events.clear();
    }
    bool Exists(const std::string& relative) { return fs::exists(root.Host(relative)); }
};

TEST_F(VolumeTest, RemoveAndArriveMoveTheFolderWithItsContent) {
    root.WriteFile("SD Card/Log/run.csv", "1,2,3\n");
    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    EXPECT_FALSE(Exists("SD Card"));
    EXPECT_EQ("1,2,3\n", root.ReadFile(".platform/volumes/SD Card/Log/run.csv"));
    // The removed card is gone for the programs too.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"\\SD Card\\Log\\run.csv"));

    // Names are device names: any case finds the kept copy, which comes back with its spelling.
    ASSERT_TRUE(qrx::ArriveVolume("sd card"));
    EXPECT_EQ("1,2,3\n", root.ReadFile("SD Card/Log/run.csv"));
    EXPECT_FALSE(Exists(".platform/volumes/SD Card"));

    // A volume that is already in stays as it is; one never seen arrives empty.
    ASSERT_TRUE(qrx::ArriveVolume("SD Card"));
    EXPECT_EQ("1,2,3\n", root.ReadFile("SD Card/Log/run.csv"));
    ASSERT_TRUE(qrx::ArriveVolume("USB Disk"));
    EXPECT_TRUE(fs::is_directory(root.Host("USB Disk")));
    EXPECT_TRUE(fs::is_empty(root.Host("USB Disk")));
}

TEST_F(VolumeTest, BadNamesAndUnknownVolumesAreRefusedAndTouchNothing) {
    root.WriteFile("SD Card/keep.txt", "k");
    root.WriteFile("Notes", "a file, not a volume");
    for (const char* bad : {"", ".", "..", ".platform", "../SD Card", "SD Card/..", "a/b", "a\\b", " SD Card",
                            "SD Card ", "SD\nCard", "COM2:"}) {
        SetLastError(0);
        EXPECT_FALSE(qrx::RemoveVolume(bad)) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError()) << bad;
        EXPECT_FALSE(qrx::ArriveVolume(bad)) << bad;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError()) << bad;
    }
    EXPECT_FALSE(qrx::RemoveVolume(std::string(300, 'x')));
    EXPECT_FALSE(qrx::RemoveVolume("Floppy"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(qrx::RemoveVolume("Notes"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
    EXPECT_FALSE(qrx::ArriveVolume("notes"));
    EXPECT_EQ("k", root.ReadFile("SD Card/keep.txt"));
    EXPECT_EQ("a file, not a volume", root.ReadFile("Notes"));
    EXPECT_FALSE(Exists(".platform/volumes/SD Card"));
    EXPECT_FALSE(Exists("Floppy"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(VolumeTest, ASecondRemoveNeverLosesTheKeptCopy) {
    root.WriteFile("SD Card/data.bin", "first card");
    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    // Out already: the event again, the copy untouched.
    EXPECT_TRUE(qrx::RemoveVolume("SD Card"));
    EXPECT_EQ("first card", root.ReadFile(".platform/volumes/SD Card/data.bin"));

    // A folder of that name made while the card is out cannot be moved over the kept copy.
    root.WriteFile("SD Card/data.bin", "made meanwhile");
    EXPECT_FALSE(qrx::RemoveVolume("sd card"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("first card", root.ReadFile(".platform/volumes/SD Card/data.bin"));
    EXPECT_EQ("made meanwhile", root.ReadFile("SD Card/data.bin"));
    // Nor does the card arrive over it, or into it, or pass for arrived; an empty folder is no exception.
    EXPECT_TRUE(qrx::VolumeKeptAside("sd card"));
    for (bool empty : {false, true}) {
        if (empty) fs::remove_all(root.Host("SD Card/data.bin"));
        SetLastError(0);
        EXPECT_FALSE(qrx::ArriveVolume("SD Card"));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        EXPECT_EQ("first card", root.ReadFile(".platform/volumes/SD Card/data.bin"));
        EXPECT_EQ(empty, fs::is_empty(root.Host("SD Card")));
    }

    // Once that folder is gone the kept card comes back whole.
    fs::remove_all(root.Host("SD Card"));
    ASSERT_TRUE(qrx::ArriveVolume("SD Card"));
    EXPECT_EQ("first card", root.ReadFile("SD Card/data.bin"));
    EXPECT_FALSE(qrx::VolumeKeptAside("SD Card"));
}

TEST_F(VolumeTest, DeviceChangeReachesEveryTopLevelWindowOnItsOwnThread) {
    UiThread ui;
    HWND mine = MakeWindow();
    HWND child = MakeWindow(mine);
    ASSERT_TRUE(mine && child);

    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    // The caller's own window has it before the call returns.
    auto events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(mine, events[0].hwnd);
    ASSERT_TRUE(WaitForEvents(2));
    ASSERT_TRUE(qrx::ArriveVolume("SD Card"));
    ASSERT_TRUE(WaitForEvents(4));
    ASSERT_TRUE(qrx::screen::WaitIdle(20000));
    events = Events();
    ASSERT_EQ(4u, events.size());  // top-level windows only, once each

    const DWORD size = 12 + sizeof(u"SD Card");
    std::vector<WPARAM> seenByUi, seenByMine;
    for (const Event& e : events) {
        EXPECT_TRUE(e.hwnd == mine || e.hwnd == ui.Window());
        EXPECT_EQ(e.hwnd == mine ? GetCurrentThreadId() : ui.Id(), e.thread);
        EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_PORT), e.type);
        EXPECT_EQ(size, e.size);
        EXPECT_EQ(u"SD Card", e.name);
        (e.hwnd == mine ? seenByMine : seenByUi).push_back(e.code);
    }
    const std::vector<WPARAM> order{DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL};
    EXPECT_EQ(order, seenByMine);
    EXPECT_EQ(order, seenByUi);
    DestroyWindow(mine);
}

TEST_F(VolumeTest, TheCallerNeverWaitsForABusyWindowThread) {
    UiThread ui;
    g_busy = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The window's thread is held inside its own window procedure until this thread lets it go.
    ASSERT_TRUE(PostMessageW(ui.Window(), WM_APP, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_entered, 20000));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(qrx::RemoveVolume("SD Card"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(Events().empty());
    SetEvent(g_busy);
    ASSERT_TRUE(WaitForEvents(1));
    EXPECT_EQ(ui.Window(), Events()[0].hwnd);
    EXPECT_EQ(u"SD Card", Events()[0].name);
    CloseHandle(g_busy);
    CloseHandle(g_entered);
    g_busy = g_entered = nullptr;
}

}  // namespace
