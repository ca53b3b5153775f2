#include "kit/CeProgressBar.h"

#include <algorithm>

CCeProgressBar::CCeProgressBar() : m_rc{}, m_hWnd(nullptr), m_nPos(0) {}

CCeProgressBar::~CCeProgressBar() { OutputDebugStringW(u"CCeProgressBar::~CCeProgressBar()\r\n"); }

BOOL CCeProgressBar::Create(const RECT& rc, HWND hWnd, const BYTE* data, DWORD size) {
    m_rc = rc;
    m_hWnd = hWnd;
    m_nPos = 0;
    return LoadFromMemory(data, size) ? TRUE : FALSE;
}

int CCeProgressBar::SetPos(HDC dc, int percent) {
    // A caller's step arithmetic may overshoot or go negative: the bar never draws outside its place.
    m_nPos = std::clamp(percent, 0, 100);
    const int span = std::max<int>(0, m_rc.right - m_rc.left);
    int width = static_cast<int>(static_cast<long long>(m_nPos) * span / 100);
    width = std::min(width, GetWidth());
    const int height = std::min<int>(std::max<int>(0, m_rc.bottom - m_rc.top), GetHeight());
    if (!dc || width <= 0 || height <= 0) return std::max(width, 0);
    RECT part{m_rc.left, m_rc.top, m_rc.left + width, m_rc.top + height};
    DrawPart(dc, &part, 0, 0);
    return width;
}
