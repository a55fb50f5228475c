#include "installer/MsiHandle.h"

#include <msiquery.h>

void MsiHandle::Close() {
    if (!m_h) return;
    MSIHANDLE h = m_h;
    m_h = 0;
    CallMsi([&] { return MsiCloseHandle(h); });
}
