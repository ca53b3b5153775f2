// One open page ("shell") of the layout script: its rectangle, style, background images, key
// bindings, page command and controls. A page either has a window of its own ("WDSHELL_PANEL") or,
// as a root page, draws into the host window through the shell manager.
#pragma once
#include <windows.h>
#include <qrx/atlwin.h>

#include <memory>
#include <vector>

#include "ui/ShellManager.h"

class CUiBitmap;
class CUiCtrl;

// One "key%d" of a page.
struct ShellKeyBinding {
    DWORD vkey;
    BYTE scanCode;  // 0 = any
    LONG when;      // < 0 down and up, 0 down, > 0 up
    LONG kind;
    WCHAR s1[MAX_PATH];
    WCHAR s2[MAX_PATH];
    WCHAR s3[MAX_PATH];
};

// The page command ("cmd" of [shellN]) as a kind and three strings.
struct ShellCommand {
    LONG kind;
    WCHAR s1[MAX_PATH];
    WCHAR s2[MAX_PATH];
    WCHAR s3[MAX_PATH];
};

class CShellPanel : public CWindowImpl<CShellPanel> {
public:
    DECLARE_WND_CLASS(u"WDSHELL_PANEL")

    // manager null: the program's one manager.
    explicit CShellPanel(int shell, CShellManager* manager = nullptr);
    ~CShellPanel() override;
    CShellPanel(const CShellPanel&) = delete;
    CShellPanel& operator=(const CShellPanel&) = delete;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    // Stores the "panel" values; returns parented.
    BOOL SetPanel(int owner, LONG x, LONG y, LONG w, LONG h, DWORD style, LONG direction);
    // -1 not parented, 0 own root, 1 belongs to another page's group.
    int GetParentState() const;
    // Empty or null strings leave the stored ones unchanged.
    void SetCommand(LONG kind, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3);
    const ShellCommand& GetCommand() const { return m_command; }
    // The new count of bindings, -1 when no memory.
    int AddKey(DWORD vkey, BYTE scanCode, LONG when, LONG kind, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3);
    int GetKeyCount() const { return static_cast<int>(m_keys.size()); }
    const ShellKeyBinding* GetKey(int i) const;

    void SetImagesTransparent(BOOL on, COLORREF key);
    // 0 when the first image does not load.
    BOOL LoadImages(const WCHAR* first, const WCHAR* second, const WCHAR* third, const WCHAR* fourth);
    // The second background, drawn centred; controls without images then show it.
    BOOL SetShImage(const WCHAR* name);
    // Hands the page's images to a control that has none of its own (shared, never freed twice).
    BOOL SetBackImages(CUiCtrl* ctrl);

    // Creates the page's window, or places the host for a page that draws into it. 0 on failure.
    BOOL Create(HWND host, BOOL show);

    void GetRect(RECT* rect, BOOL relative) const;
    void GetCentreOffset(LONG* x, LONG* y) const;
    // The command window while it is a live window, else null.
    HWND GetCmdWnd() const;
    // The drawing window: the own window when live, else the command window.
    HWND GetHwnd() const;
    // The own window when live, else null.
    HWND GetOwnWnd() const;
    BOOL IsShown() const;
    CUiCtrl* GetCtrl(int i) const;
    int GetCtrlCount() const { return static_cast<int>(m_ctrls.size()); }
    // Appends a created control; the page owns it from then on. The new count.
    int AddCtrl(CUiCtrl* ctrl);
    COLORREF GetBackColor() const { return m_crBack; }
    // The second background when it has a size, else the first.
    CUiBitmap* GetBackImage() const;
    CUiBitmap* GetImage(int i) const;
    CUiBitmap* GetShImage() const { return m_shImage.get(); }
    // Where the page draws bitmap when it is one of its five background images: the second one
    // centred, the others at 0,0. FALSE for any other bitmap.
    BOOL GetImageOrigin(const CUiBitmap* bitmap, POINT* origin) const;
    // Every other control gets focus state 0, control i gets state; 1 when i exists.
    int SetFocusCtrl(int i, int state);
    void Invalidate(const RECT* rect, BOOL erase);
    BOOL Show(BOOL show);
    // The page and key command; 1 when it did something.
    int RunCommand(LONG kind, const WCHAR* s1, const WCHAR* s2, const WCHAR* s3);

    // Paints a shown page into its back buffer and copies that to dc at 0,0; with update, only that
    // rectangle (page coordinates): its background and the controls that reach into it.
    void DrawPanel(HDC dc, const RECT* update = nullptr);
    // x and y in the drawing window. 1 when the page took the pen.
    int OnPen(UINT msg, WPARAM wParam, int x, int y);
    // 1 when a binding ran.
    int OnKey(UINT msg, UINT vkey, UINT repeat, UINT flags);
    // The number of controls that took the timer.
    int OnTimer(UINT_PTR id, LPARAM lParam);
    void OnActivate(UINT state, BOOL minimized, HWND other);
    void OnFocus(BOOL gained, HWND newFocus);
    // 0 when the slide was cut short.
    int SlideIn();
    // 1 when the page slid out and its command ran.
    int SlideClose();

    int GetShell() const { return m_nShell; }
    int GetOwner() const { return m_nOwner; }
    DWORD GetStyle() const { return m_dwStyle; }
    LONG GetDirection() const { return m_nDirection; }
    BOOL IsParented() const { return m_bParented; }
    BOOL IsExpanded() const { return m_bExpanded; }
    BOOL IsOwnRoot() const { return m_bOwnRoot; }
    BOOL IsDragging() const { return m_bDragging; }
    // True while a modal page other than this one is the top page.
    BOOL IsBlocked() const;
    CShellManager* GetManager() const { return m_pManager; }
    // Expires when the page is deleted: a caller whose calls may re-enter the manager checks it before
    // touching the page again.
    std::weak_ptr<const int> GetLifeToken() const { return m_life; }
    // Set by the manager while it slides the page out for a close.
    void SetClosing(BOOL closing) { m_bClosing = closing; }
    BOOL IsClosing() const { return m_bClosing; }

private:
    LRESULT OnPaintMessage();
    void DeleteKeys();
    void DeleteCtrls();
    void FreeBackBuffer();
    void EndDrag();
    // Stores the rectangle the drag left and reports the drop.
    int FinishDrag();
    BOOL CreateOwnWindow(HWND parent, const RECT& rc, DWORD wndStyle);
    BOOL OwnWindowAlive() const;
    void PostNotify(WPARAM wParam, LPARAM lParam) const;
    // FALSE when the page went while its controls redrew.
    BOOL StopAllAnimations();

    HBITMAP m_hBackBitmap;
    HDC m_hBackDC;
    HGDIOBJ m_hOldBackBitmap;
    SIZE m_backSize;
    int m_nShell;
    int m_nOwner;
    HWND m_hCmdWnd;
    BOOL m_bShown;
    BOOL m_bDragging;
    POINT m_ptDrag;
    std::shared_ptr<CUiBitmap> m_images[4];
    std::shared_ptr<CUiBitmap> m_shImage;
    BOOL m_bImagesTransparent;
    COLORREF m_crImagesKey;
    LONG m_x, m_y, m_w, m_h;
    COLORREF m_crBack;
    DWORD m_dwStyle;
    LONG m_nDirection;
    BOOL m_bParented;
    BOOL m_bExpanded;
    BOOL m_bOwnRoot;
    ShellCommand m_command;
    std::vector<CUiCtrl*> m_ctrls;
    std::vector<ShellKeyBinding*> m_keys;
    CShellManager* m_pManager;
    BOOL m_bClosing;
    std::shared_ptr<const int> m_life;
};
