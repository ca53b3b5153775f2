// The screen lock's window and its popup, drawn with the upgrader's kit from the program's own
// image archive.
#pragma once
#include <windows.h>

#include "kit/KitArchive.h"
#include "numpad/CeBitmap.h"
#include "shutter/LockLogic.h"

#define LOCK_CLASS u"Shutter"
#define LOCK_SHELL 13
#define LOCK_SHELL_COMMAND 1025
#define LOCK_POPUP_WIDTH 380
#define LOCK_POPUP_HEIGHT 279
#define LOCK_POPUP_OK 0x1020
#define LOCK_POPUP_CANCEL 0x1021
#define LOCK_TONE_HZ 2093
#define LOCK_TONE_MS 90

// Texts of [shell13].
#define LOCK_TEXT_OK 1
#define LOCK_TEXT_CANCEL 2
#define LOCK_TEXT_SET_TITLE 3
#define LOCK_TEXT_CHECK_TITLE 4
#define LOCK_TEXT_CONFIRM_TITLE 5
#define LOCK_TEXT_WRONG_TITLE 6
#define LOCK_TEXT_SET_BODY 7
#define LOCK_TEXT_CHECK_BODY 8
#define LOCK_TEXT_CONFIRM_BODY 9
#define LOCK_TEXT_WRONG_BODY 10
#define LOCK_TEXT_FAILED_TITLE 11
#define LOCK_TEXT_FAILED_BODY 12

// The archive the popup takes its pictures from (null: none); the program's own.
void SetLockArchive(CKitArchive* archive);
// Runs the popup modally with the [shell13] texts title and body: 1 OK, 2 CANCEL, 0 when closed
// otherwise or when it could not start.
int ShowPopupDialog(HWND parent, int title, int body);
// The click tone, requested as the device does (silent: this program never opens the tone device).
void LockClickTone();

// A back buffer the size of a window, for the lock window and its popup.
class CLockBuffer {
public:
    CLockBuffer() = default;
    ~CLockBuffer() { Free(); }
    CLockBuffer(const CLockBuffer&) = delete;
    CLockBuffer& operator=(const CLockBuffer&) = delete;
    BOOL Make(HWND hWnd, int width, int height);
    void Free();
    HDC GetDC() const { return m_hDC; }

private:
    HDC m_hDC = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOld = nullptr;
};

class CLockWnd {
public:
    // archive: the program's pictures, kept by the caller while the window lives.
    CLockWnd(const LockCommand& command, CKitArchive* archive);
    ~CLockWnd();
    CLockWnd(const CLockWnd&) = delete;
    CLockWnd& operator=(const CLockWnd&) = delete;

    static BOOL Register(HINSTANCE hInstance);
    // Open, then the introduction popup; FALSE when the window could not be made or the
    // introduction ended the program (the window is gone then).
    BOOL Create(HINSTANCE hInstance);
    // The topmost full-screen window with its pictures, keys active.
    BOOL Open(HINSTANCE hInstance);
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    // One key's look, pressed or normal, straight onto the window.
    void DrawKey(int key, bool pressed);
    HWND GetHwnd() const { return m_hWnd; }
    bool IsCheck() const { return m_command.mode != 0; }
    const CLockTaps& Taps() const { return m_taps; }

private:
    void OnPaint();
    void OnPenDown(int x, int y);
    void OnPenMove(int x, int y);
    void OnPenUp(int x, int y);
    void OnPatternDone();
    // Sends the result to the main window when there is one, then closes.
    void Finish(int result);

    LockCommand m_command;
    CKitArchive* m_pArchive;
    HWND m_hWnd;
    CLockTaps m_taps;
    CCeBitmap m_normal;
    CCeBitmap m_pressed;
    CLockBuffer m_buffer;
};
