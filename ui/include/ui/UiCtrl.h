// The base control of every page control: a text label with state images, windowed (a child window of
// the page) or windowless (a rectangle the page paints and routes input and timers to). Controls turn
// user actions into commands: posted messages, program starts, library calls, page opening and closing.
#pragma once
#include <windows.h>
#include <qrx/atlwin.h>

#include <memory>

#include "ui/LayoutScript.h"
#include "ui/UiBitmap.h"

class CShellPanel;

#ifndef WM_SHELL_COMMAND
#define WM_SHELL_COMMAND 1025
#endif
#ifndef WM_SHELL_NOTIFY
#define WM_SHELL_NOTIFY 5024
#endif

// Style bits of "type".
enum : DWORD {
    UICTRL_STYLE_WINDOW = 0x01,     // a child window of its own
    UICTRL_STYLE_CLICKANIM = 0x02,  // click animation; set while a frame animation runs
};

// Image states of the four "image" names.
enum { UICTRL_IMG_NORMAL = 0, UICTRL_IMG_PRESSED = 1, UICTRL_IMG_FOCUS = 2, UICTRL_IMG_DISABLED = 3 };

struct UiCtrlCommand {
    LONG kind;
    WCHAR s[3][MAX_PATH];
};

class CUiCtrl : public CWindowImpl<CUiCtrl> {
public:
    DECLARE_WND_CLASS(u"UICTRL")

    CUiCtrl(const LayoutControlRecord* record, CShellPanel* panel);
    // For controls that other controls embed.
    explicit CUiCtrl(CShellPanel* panel);
    ~CUiCtrl() override;
    CUiCtrl(const CUiCtrl&) = delete;
    CUiCtrl& operator=(const CUiCtrl&) = delete;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override;

    // Adopts the four bitmaps (any may be null); the normal one only when it has a size (else 0 and
    // nothing is adopted). Bitmaps without a size are deleted.
    virtual BOOL SetImages(CUiBitmap* normal, CUiBitmap* pressed, CUiBitmap* focus, CUiBitmap* disabled);
    // Loads the four names; whether the normal image loaded.
    virtual BOOL LoadImages(const WCHAR* normal, const WCHAR* pressed, const WCHAR* focus, const WCHAR* disabled);
    virtual BOOL SetBackImage(const WCHAR* name, BOOL load, BOOL redraw);
    virtual BOOL Create(DWORD style, DWORD exStyle);
    virtual void DrawText(HDC dc, int dx, int dy);
    virtual int ExecCommand(int arg, int sel);
    virtual HWND GetWnd() const;
    virtual void GetRect(RECT* rc, BOOL relative) const;
    virtual void Move(int x, int y, int w, int h, BOOL relativeToPanel);
    virtual BOOL Show(BOOL show);
    virtual void Invalidate(const RECT* rc, BOOL erase);
    // Nonzero while the control holds the pen outside its rectangle.
    virtual BOOL IsCapturingPen() const { return 0; }
    // Called before every visibility change: a control ends a press in progress.
    virtual BOOL CancelPress() { return 0; }
    virtual void OnCreate();
    virtual void Destroy();
    virtual void EraseBack(HDC dc);
    virtual void OnPaint(HDC dc);
    // msg 513 down, 512 move, 514 up, 515 double click, -1 pen elsewhere; x, y in the drawing window.
    virtual int OnMouse(int msg, WPARAM wParam, int x, int y);
    // Only the control's own running timers are taken (1); any other id gives 0.
    virtual int OnTimer(UINT_PTR id, LPARAM lParam);
    virtual int OnKey(UINT msg, WPARAM vkey, int repeat, int flags) { return 0; }

    // Shares bitmaps another owner (the page) also holds; nothing is freed twice.
    BOOL SetSharedImages(std::shared_ptr<CUiBitmap> normal, std::shared_ptr<CUiBitmap> pressed,
                         std::shared_ptr<CUiBitmap> focus, std::shared_ptr<CUiBitmap> disabled);
    void ReleaseImages();
    CUiBitmap* GetImage(int state) const { return (state >= 0 && state < 4) ? m_images[state].get() : nullptr; }
    CUiBitmap* GetBackImage() const { return m_pBackImage.get(); }
    BOOL HasImages() const { return m_bHasImages; }

    void GetPlacement(RECT* rc, BOOL imageSize) const;
    void SetVisible(BOOL show);
    BOOL IsVisible() const;
    BOOL IsEnabled() const;
    void Enable(BOOL on);

    void SetText(const WCHAR* text, BOOL redraw);
    // out: at least MAX_PATH characters.
    void GetText(WCHAR* out) const;
    const WCHAR* GetText() const { return m_szText; }
    void SetTextStyle(LONG mode, LONG alignment, COLORREF color, COLORREF backColor);
    void SetTextColors(COLORREF color, COLORREF backColor);
    COLORREF GetTextColor() const { return m_crText; }
    COLORREF GetTextBackColor() const { return m_crBack; }
    LONG GetTextMode() const { return m_nTextMode; }
    LONG GetTextAlign() const { return m_nTextAlign; }
    BOOL CreateFont(const WCHAR* face, int height, int weight, int italic, int underline);
    BOOL SetFontFace(const WCHAR* face);
    HFONT GetFont() const { return m_hFont; }
    int GetFontHeight() const { return m_nFontHeight; }
    int GetTextYOffset() const;

    void SetSound(LONG kind, const WCHAR* name);
    LONG GetSound(WCHAR* name) const;
    LONG GetSoundKind() const { return m_nSndKind; }
    const WCHAR* GetSoundName() const { return m_szSndName; }

    void SetImageScale(double factor, BOOL redraw);
    double GetImageScale() const { return m_dZoom; }
    void SetImagesTransparent(BOOL on, COLORREF key);

    BOOL IsAnimating() const { return m_aniTimer != 0; }
    // The running timers' ids, 0 when none runs.
    UINT_PTR GetAnimationTimer() const { return m_aniTimer; }
    UINT_PTR GetMarqueeTimer() const { return m_marqueeTimer; }
    int GetFrame() const { return m_nFrame; }
    BOOL StartAnimation(const WCHAR* newImage, UINT period);
    void StopAnimation(BOOL redraw);
    void SetAnimationStyle(int loopLimit, int fireAt) {
        m_nLoopLimit = loopLimit;
        m_nFireAt = fireAt;
    }
    int GetLoopLimit() const { return m_nLoopLimit; }
    int GetFireAt() const { return m_nFireAt; }
    void SetNoClickAnimation(BOOL on) { m_bNoClickAnim = on; }

    int SetFocusState(int state);
    int GetFocusState() const { return m_nFocusState; }
    BOOL TakesFocus() const { return m_nTakesFocus != 0; }

    void SetMarquee(BOOL on);
    BOOL GetMarquee() const { return m_bMarquee; }
    BOOL IsMarqueeRunning() const { return m_marqueeTimer != 0; }

    // Expires when the control's page is deleted (never for a control without a page): a caller whose
    // calls may re-enter the page manager checks it before touching the control again.
    std::weak_ptr<const int> GetLifeToken() const;

    BOOL IsWindowed() const { return m_hWnd != nullptr; }
    DWORD GetId() const { return m_dwId; }
    int GetType() const { return static_cast<int>(m_dwId & 0xFFFF); }
    int GetIndex() const { return static_cast<int>(m_dwId >> 16); }
    CShellPanel* GetPanel() const { return m_pPanel; }
    DWORD GetStyle() const { return m_dwStyle; }
    int GetImageAlign() const { return m_nImageAlign; }
    const UiCtrlCommand& GetCommand() const { return m_cmd; }
    const UiCtrlCommand& GetInitCommand() const { return m_init; }
    LONG GetCmdKind() const { return m_cmd.kind; }
    COLORREF GetFillColor() const { return m_crFill; }
    void SetFillColor(COLORREF color) { m_crFill = color; }
    BOOL KeepsOwnVisibility() const { return m_bKeepVisibility; }
    void SetAcceptPen(BOOL on) { m_bAcceptPen = on; }
    BOOL AcceptsPen() const { return m_bAcceptPen; }

protected:
    // Message handlers of a windowed control.
    LRESULT OnWmCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmEraseBkgnd(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmMouse(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmKey(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnWmTimer(UINT, WPARAM, LPARAM, BOOL&);

    // Painting in steps for subclasses: the target DC (released by EndBackPaint) and the back buffer,
    // filled with what the target shows under the control. Null when nothing is to be painted.
    HDC BeginBackPaint(HDC dc, HDC* target, BOOL* release);
    void EndBackPaint(HDC target, BOOL release);
    // The image OnPaint draws: normal, focus or override image; null when none has a size.
    CUiBitmap* ChooseImage() const;
    // Draws bitmap into the back buffer in the control's image alignment; a page image that an
    // image-less control adopted shows the part of it that lies under the control.
    void DrawAligned(HDC back, CUiBitmap* bitmap);
    // Where bitmap lies in the control's own coordinates when it is one of its page's background
    // images (adopted by a control without images of its own); FALSE for any other bitmap.
    BOOL PageImageOrigin(const CUiBitmap* bitmap, POINT* at) const;
    void DrawImageInRect(HDC back, CUiBitmap* bitmap, const RECT& rc);
    void FillImageMargins(HDC back, CUiBitmap* bitmap, int x, int y, const RECT& rc);
    // The zoomed destination of alignment 4.
    const RECT& GetZoomRect() const { return m_rcZoom; }
    void SetZoomRect(const RECT& rc) {
        m_rcZoom = rc;
        m_dLastZoom = m_dZoom;
    }
    BOOL HasZoomRect() const;
    void ComputeZoomRect(CUiBitmap* bitmap);

    void KillMarquee();
    // The control's timer ids, unique in the process so that pages sharing a window never take each
    // other's ticks.
    UINT_PTR MarqueeTimerId();
    UINT_PTR AnimationTimerId();
    // The kind-5 firing with the "cmd" strings; the launch result, or 1.
    int FireCommand();
    // Starts a program through the page manager; 1 started, 0 not.
    int Launch(const WCHAR* path, const WCHAR* args);
    // wParam of a kind-5 message: the shell number when s1 starts a program, else s3.
    WPARAM Kind5WParam(const UiCtrlCommand& command) const;
    void PostCmd(HWND cmdWnd, const WCHAR* msg, WPARAM wParam, LPARAM lParam) const;
    HWND GetCmdWnd() const;
    int GetShellNumber() const;

    HBITMAP m_hBackBmp;
    HDC m_hBackDC;
    HGDIOBJ m_hOldBackBmp;
    int m_nBackW, m_nBackH;
    DWORD m_dwId;
    CShellPanel* m_pPanel;
    BOOL m_bVisible;
    BOOL m_bEnabled;
    LONG m_nTakesFocus;
    int m_nFocusState;
    int m_nImageAlign;
    BOOL m_bHasImages;
    BOOL m_bMarquee;
    UINT_PTR m_marqueeTimer;  // the running timer, 0 when none
    UINT_PTR m_marqueeId;     // allocated on first use
    HWND m_hMarqueeWnd;       // the window the timer runs on
    int m_nMarqueeOffset;
    UINT_PTR m_aniTimer;
    UINT_PTR m_aniId;
    HWND m_hAniWnd;
    int m_nFrame;
    int m_nFrameCount;  // frames found when the animation started
    int m_nLoop;
    int m_nLoopLimit;
    int m_nFireAt;
    BOOL m_bNoClickAnim;
    BOOL m_bTransparent;
    COLORREF m_crKey;
    DWORD m_dwStyle;
    DWORD m_dwCreateStyle;  // the style bits as the record gave them
    std::shared_ptr<CUiBitmap> m_images[4];
    std::unique_ptr<CUiBitmap> m_pBackImage;
    int m_x, m_y, m_w, m_h;
    COLORREF m_crFill;
    RECT m_rcZoom;
    double m_dZoom, m_dLastZoom;
    UiCtrlCommand m_cmd;
    UiCtrlCommand m_init;
    LONG m_nTextMode;
    LONG m_nTextAlign;
    COLORREF m_crText;
    COLORREF m_crBack;
    WCHAR m_szText[MAX_PATH];
    HFONT m_hFont;
    LONG m_nTextLeft, m_nTextRight;
    LONG m_nSndKind;
    WCHAR m_szSndName[MAX_PATH];
    BOOL m_bKeepVisibility;
    BOOL m_bAcceptPen;
    int m_nFontHeight;

private:
    void InitFields(CShellPanel* panel);
    void FreeBackBuffer();
    BOOL LoadFrame(int frame);
    int CountFrames() const;
    void KillAnimationTimer();
    void AnimationTick();
    void RestartAt(int frame);
    int CallLibrary(const WCHAR* path, const WCHAR* function, LONG arg);
    int PaintMarquee(HDC dc, const RECT& rc, UINT format, const WCHAR* fitted);
};

// Frame name of an image name: "%02d_" in place of the first three characters of the file name
// (after the last backslash). FALSE when the name is too short, the frame out of 0..99 or the result
// too long for out (MAX_PATH characters).
BOOL MakeFrameName(WCHAR* out, const WCHAR* name, int frame);
