// Storage events to the windows: each program builds the broadcast record in its own memory and each
// top-level window gets WM_DEVICECHANGE on its own thread, as a sent message, so the record stays
// valid for the whole call. The caller only queues the work and never waits for another thread,
// which keeps it safe from a thread that the window's thread may itself be waiting for.
#include <cstddef>
#include <cstring>
#include <vector>

#include "qrx/dbt.h"
#include "win/remote.h"
#include "win/win.h"

namespace qrx::win {

void DeliverDeviceChange(WPARAM event, const std::u16string& volume) {
    std::vector<std::pair<HWND, DWORD>> targets;
    {
        TreeLock g(T().lock);
        for (HWND h : T().top)
            if (Window* w = Find(h); w && !w->destroying) targets.emplace_back(h, w->thread);
    }
    for (auto& [hwnd, thread] : targets) {
        HWND h = hwnd;
        RunOnThread(thread, [h, event, volume] {
            size_t bytes = offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + (volume.size() + 1) * sizeof(WCHAR);
            std::vector<DWORD> storage((std::max(bytes, sizeof(DEV_BROADCAST_PORT_W)) + 3) / 4, 0);
            auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(storage.data());
            port->dbcp_size = static_cast<DWORD>(bytes);
            port->dbcp_devicetype = DBT_DEVTYP_PORT;
            port->dbcp_reserved = 0;
            std::memcpy(reinterpret_cast<char*>(storage.data()) + offsetof(DEV_BROADCAST_PORT_W, dbcp_name),
                        volume.data(), volume.size() * sizeof(WCHAR));
            // A window gone meanwhile just fails the send.
            SendMessageW(h, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(port));
        });
    }
}

void BroadcastDeviceChange(WPARAM event, const std::u16string& volume) {
    if (remote::BroadcastDeviceChange(event, volume)) return;
    DeliverDeviceChange(event, volume);
}

}  // namespace qrx::win
