#include "kit/Partition.h"

#include <cstring>

CPartition::CPartition() : m_hStore(INVALID_HANDLE_VALUE), m_hSearch(INVALID_HANDLE_VALUE), m_info{} {}

CPartition::~CPartition() { Close(); }

void CPartition::Close() {
    if (m_hSearch != INVALID_HANDLE_VALUE) FindClosePartition(m_hSearch);
    if (m_hStore != INVALID_HANDLE_VALUE) CloseHandle(m_hStore);
    m_hSearch = m_hStore = INVALID_HANDLE_VALUE;
}

BOOL CPartition::FindPartition(const WCHAR* store) {
    Close();
    std::memset(&m_info, 0, sizeof m_info);
    m_info.cbSize = sizeof(PARTINFO);
    if (!store) return FALSE;
    m_hStore = OpenStore(store);
    if (m_hStore != INVALID_HANDLE_VALUE) m_hSearch = FindFirstPartition(m_hStore, &m_info);
    if (m_hSearch == INVALID_HANDLE_VALUE) {
        Close();
        return FALSE;
    }
    return TRUE;
}
