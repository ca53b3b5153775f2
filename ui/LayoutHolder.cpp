// Process-wide holder of the layout script text (the program's RCDATA resource).
#include <atomic>

#include "ui/ZipArchive.h"

namespace {

// Written once on the user-interface thread at start-up, read by every layout reader: the pointer is
// published last, so a reader that sees it also sees the size.
std::atomic<const char*> g_scriptText{nullptr};
std::atomic<DWORD> g_scriptSize{0};

}  // namespace

void SetLayoutScript(const void* text, DWORD size) {
    // A null text withdraws the script, so readers never copy from nowhere.
    g_scriptText.store(nullptr, std::memory_order_release);
    if (text == nullptr) {
        g_scriptSize.store(0, std::memory_order_release);
        return;
    }
    g_scriptSize.store(size, std::memory_order_release);
    g_scriptText.store(static_cast<const char*>(text), std::memory_order_release);
}

BOOL HasLayoutScript() { return g_scriptText.load(std::memory_order_acquire) != nullptr ? TRUE : FALSE; }

const char* GetLayoutScript(DWORD* size) {
    const char* text = g_scriptText.load(std::memory_order_acquire);
    if (size != nullptr) {
        *size = text != nullptr ? g_scriptSize.load(std::memory_order_acquire) : 0;
    }
    return text;
}

BOOL LoadLayoutResource(HINSTANCE module, int id) {
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA);
    if (!res) return FALSE;
    HGLOBAL data = LoadResource(module, res);
    const void* text = data ? LockResource(data) : nullptr;
    DWORD size = SizeofResource(module, res);
    if (!text || size == 0) return FALSE;
    SetLayoutScript(text, size);
    return TRUE;
}
