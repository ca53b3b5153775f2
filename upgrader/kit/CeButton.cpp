#include "kit/CeButton.h"

#include <algorithm>
#include <cstring>

#include "app/Language.h"
#include "ui/BoardIo.h"

namespace {

const BYTE kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const COLORREF kWhite = RGB(255, 255, 255);
const int kFixedHeight = 20;

bool IsPng(const BYTE* data, DWORD size) { return data && size >= 8 && std::memcmp(data, kPngSignature, 8) == 0; }

}  // namespace

// One state's picture: a bitmap drawn with the key colour left out, or a PNG image.
struct CCeButton::Picture {
    CCeBitmap bitmap;
    CDibImage image;

    bool Load(const BYTE* data, DWORD size) {
        if (IsPng(data, size)) {
            CMemStream stream(const_cast<BYTE*>(data), size);
            if (image.Decode(&stream, DIBIMAGE_PNG)) return true;
            image.Destroy();
            return false;
        }
        return bitmap.LoadFromMemory(data, size) != 0;
    }
    void Draw(HDC dc, const RECT& rc) const {
        if (!bitmap.IsEmpty())
            bitmap.Draw(dc, &rc, 1);
        else if (image.IsValid())
            image.Draw(dc, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
    }
};

CCeButton::CCeButton()
    : m_hWnd(nullptr), m_hDC(nullptr), m_rc{}, m_nId(0), m_bImage(FALSE), m_bToggle(FALSE), m_nState(0),
      m_dwOptions(0), m_szCaption{}, m_nCaptionLen(0), m_szFace{}, m_nHeight(kFixedHeight), m_colours{kWhite, kWhite} {}

CCeButton::~CCeButton() { Release(); }

void CCeButton::Release() {
    if (m_hDC) ReleaseDC(m_hWnd, m_hDC);
    m_hDC = nullptr;
    m_pictures[0].reset();
    m_pictures[1].reset();
}

BOOL CCeButton::Create(HWND hWnd, const RECT& rc, UINT id, BOOL image, BOOL toggle, int state, DWORD options) {
    Release();
    m_hWnd = hWnd;
    m_hDC = hWnd ? GetDC(hWnd) : nullptr;
    m_rc = rc;
    m_nId = id;
    m_bImage = image ? TRUE : FALSE;
    m_bToggle = toggle ? TRUE : FALSE;
    m_nState = state ? 1 : 0;
    m_dwOptions = options;
    if (m_bImage) {
        m_pictures[0] = std::make_unique<Picture>();
        m_pictures[1] = std::make_unique<Picture>();
    }
    return !hWnd || m_hDC ? TRUE : FALSE;
}

BOOL CCeButton::SetImage(const BYTE* normal, DWORD normalSize, const BYTE* pressed, DWORD pressedSize,
                         const WCHAR* caption) {
    WCHAR line[64];
    swprintf(line, 64, u"CCeButton : sizeof : %d\r\n", static_cast<int>(normalSize));
    OutputDebugStringW(line);
    SetCaption(caption, FALSE);
    if (!m_bImage) return FALSE;
    // A fresh object per picture, so a failed decode leaves it empty rather than the old look.
    m_pictures[0] = std::make_unique<Picture>();
    m_pictures[1] = std::make_unique<Picture>();
    bool a = m_pictures[0]->Load(normal, normalSize);
    bool b = m_pictures[1]->Load(pressed, pressedSize);
    return a && b ? TRUE : FALSE;
}

void CCeButton::SetFont(const WCHAR* face, int height, COLORREF normal, COLORREF pressed) {
    m_szFace[0] = 0;
    if (face) QrxStrCopy(m_szFace, LF_FACESIZE, face);
    m_nHeight = height;
    m_colours[0] = normal;
    m_colours[1] = pressed;
}

void CCeButton::SetCaption(const WCHAR* caption, BOOL redraw) {
    m_nCaptionLen = 0;
    if (caption)
        while (m_nCaptionLen < CEBUTTON_CAPTION_CHARS && caption[m_nCaptionLen]) {
            m_szCaption[m_nCaptionLen] = caption[m_nCaptionLen];
            ++m_nCaptionLen;
        }
    m_szCaption[m_nCaptionLen] = 0;
    if (redraw) Draw();
}

void CCeButton::GetCaptionFont(int state, LOGFONTW* font, COLORREF* colour) const {
    const bool fixed = (m_dwOptions & CEBUTTON_WHITE_CAPTION) != 0;
    if (font) {
        std::memset(font, 0, sizeof *font);
        font->lfHeight = fixed ? kFixedHeight : m_nHeight;
        font->lfWeight = FW_BOLD;
        font->lfCharSet = 1;
        font->lfQuality = 4;
        QrxStrCopy(font->lfFaceName, LF_FACESIZE, m_szFace[0] ? m_szFace : GetLangFontFace());
    }
    if (colour) *colour = fixed ? kWhite : m_colours[state ? 1 : 0];
}

void CCeButton::Draw(HDC dc) {
    if (!dc) dc = m_hDC;
    if (!dc) return;
    if (m_bImage && m_pictures[m_nState]) m_pictures[m_nState]->Draw(dc, m_rc);
    if (m_nCaptionLen == 0) return;
    LOGFONTW lf;
    COLORREF colour;
    GetCaptionFont(m_nState, &lf, &colour);
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    int mode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColour = SetTextColor(dc, colour);
    RECT rc = m_rc;
    DrawTextW(dc, m_szCaption, m_nCaptionLen, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SetTextColor(dc, oldColour);
    SetBkMode(dc, mode);
    if (font) {
        SelectObject(dc, old);
        DeleteObject(font);
    }
}

BOOL CCeButton::HitTest(int x, int y) const {
    return x >= m_rc.left && x <= m_rc.right && y >= m_rc.top && y <= m_rc.bottom ? TRUE : FALSE;
}

void CCeButton::Click() const {
    if (m_dwOptions & CEBUTTON_NO_TONE) return;
    ::Tone(CEBUTTON_TONE_HZ, TRUE);
    Sleep(CEBUTTON_TONE_MS);
    ::Tone(CEBUTTON_TONE_HZ, FALSE);
}

int CCeButton::OnLButtonDown(int x, int y) {
    if (!HitTest(x, y)) return 0;
    m_nState = m_bToggle && m_nState ? 0 : 1;
    Draw();
    Click();
    return 1;
}

int CCeButton::OnLButtonUp(int x, int y) {
    if (!HitTest(x, y)) return 0;
    if (!m_bToggle) {
        m_nState = 0;
        Draw();
        return 1;
    }
    if (m_nState == 0) {
        Draw();
        return 2;
    }
    return 1;
}

int CCeButton::OnMouseMove(int x, int y) {
    // Only a push button held down lets go: an idle button must not take another's capture away, and
    // a toggle keeps its setting.
    if (HitTest(x, y) || m_bToggle || m_nState == 0) return 0;
    m_nState = 0;
    Draw();
    ReleaseCapture();
    return 1;
}

void CCeButton::Reset(BOOL redraw) {
    m_nState = 0;
    if (redraw) Draw();
}

void CCeButton::SetState(int state, BOOL redraw) {
    m_nState = state ? 1 : 0;
    if (redraw) Draw();
}
