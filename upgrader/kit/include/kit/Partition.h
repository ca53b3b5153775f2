// Finds a store's partition: the upgrader waits for "DSK1:" and "DSK2:" with it.
#pragma once
#include <windows.h>

class CPartition {
public:
    CPartition();
    ~CPartition();
    CPartition(const CPartition&) = delete;
    CPartition& operator=(const CPartition&) = delete;

    // Closes earlier handles, opens the store and its first partition. 1 when both succeed, else every
    // handle closed and 0.
    BOOL FindPartition(const WCHAR* store);
    void Close();
    const PARTINFO& Info() const { return m_info; }

private:
    HANDLE m_hStore;
    HANDLE m_hSearch;
    PARTINFO m_info;
};
