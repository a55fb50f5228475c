#include "installer/MsiHandle.h"

#include "installer/SystemLibrary.h"

namespace {
bool BindMsi(const SystemLibrary& library, MsiApi& api) {
    auto ordinal = [](WORD n) { return MAKEINTRESOURCEA(n); };
    return BindProc(library, api.closeHandle, ordinal(8)) && BindProc(library, api.databaseOpenView, ordinal(31)) &&
           BindProc(library, api.openDatabase, ordinal(91)) && BindProc(library, api.recordGetString, ordinal(117)) &&
           BindProc(library, api.viewExecute, ordinal(159)) && BindProc(library, api.viewFetch, ordinal(160));
}
}  // namespace

const MsiApi* BoundMsi() {
    static SystemBinding<MsiApi> binding("msi.dll", BindMsi);
    return binding.Get();
}

void MsiHandle::Close() {
    if (!m_h) return;
    MSIHANDLE h = m_h;
    m_h = 0;
    // A handle exists only where msi.dll was bound.
    const MsiApi* msi = BoundMsi();
    if (msi) CallMsi([&] { return msi->closeHandle(h); });
}
