// The upgrader's image/text push button: two pictures (PNG or BMP data), a caption in the language's
// face, push or toggle behaviour and the click tone. Options give the screen lock's variant.
#pragma once
#include <windows.h>

#include <memory>

#include "numpad/CeBitmap.h"
#include "ui/DibImage.h"

#define CEBUTTON_CAPTION_CHARS 100  // characters kept of a caption
#define CEBUTTON_TONE_HZ 2093
#define CEBUTTON_TONE_MS 80

// Options of Create.
enum : DWORD {
    CEBUTTON_NO_TONE = 0x01,        // the owner requests the click tone itself
    CEBUTTON_WHITE_CAPTION = 0x02,  // caption always height 20, weight 700, white in both states
};

class CCeButton {
public:
    CCeButton();
    virtual ~CCeButton();
    CCeButton(const CCeButton&) = delete;
    CCeButton& operator=(const CCeButton&) = delete;

    // Keeps the window, its DC (released by the destructor), the rectangle and the flags. image: the
    // button draws its two pictures (SetImage); without, only the caption. state 0 normal, 1 pressed/on.
    BOOL Create(HWND hWnd, const RECT& rc, UINT id, BOOL image, BOOL toggle, int state, DWORD options = 0);
    // Normal and pressed pictures, each BMP or PNG data (told apart by their signature), and the caption.
    // A picture that cannot be decoded stays empty (not drawn); 1 when both were made.
    BOOL SetImage(const BYTE* normal, DWORD normalSize, const BYTE* pressed, DWORD pressedSize,
                  const WCHAR* caption);
    // Face (null: the language's), height and the text colours of the normal and pressed state. With
    // CEBUTTON_WHITE_CAPTION only the face is used.
    void SetFont(const WCHAR* face, int height, COLORREF normal, COLORREF pressed);
    // Cut to CEBUTTON_CAPTION_CHARS characters.
    void SetCaption(const WCHAR* caption, BOOL redraw = FALSE);
    const WCHAR* GetCaption() const { return m_szCaption; }

    // The current state's picture and the centred caption into dc (null: the window's DC).
    void Draw(HDC dc = nullptr);
    // 0 outside (edges count as inside); else pressed or toggled, drawn, the tone; 1.
    int OnLButtonDown(int x, int y);
    // 0 outside; a push button drawn normal: 1; a toggle button that is off: 2; otherwise 1.
    int OnLButtonUp(int x, int y);
    // Leaving the rectangle (strictly outside): state 0, drawn normal, capture released, 1; else 0.
    int OnMouseMove(int x, int y);
    // Back to the normal look; drawn when redraw.
    void Reset(BOOL redraw);

    BOOL HitTest(int x, int y) const;
    int GetState() const { return m_nState; }
    void SetState(int state, BOOL redraw);
    UINT GetId() const { return m_nId; }
    const RECT& GetRect() const { return m_rc; }
    BOOL IsToggle() const { return m_bToggle; }
    DWORD GetOptions() const { return m_dwOptions; }
    // The face, height, weight and colour the caption is drawn with in state (for tests and owners).
    void GetCaptionFont(int state, LOGFONTW* font, COLORREF* colour) const;

private:
    struct Picture;
    void Release();
    void Click() const;

    HWND m_hWnd;
    HDC m_hDC;
    RECT m_rc;
    UINT m_nId;
    BOOL m_bImage;
    BOOL m_bToggle;
    int m_nState;
    DWORD m_dwOptions;
    std::unique_ptr<Picture> m_pictures[2];  // normal, pressed
    WCHAR m_szCaption[CEBUTTON_CAPTION_CHARS + 1];
    int m_nCaptionLen;
    WCHAR m_szFace[LF_FACESIZE];
    int m_nHeight;
    COLORREF m_colours[2];
};
