#include "installer/MsiHandle.h"

#include "installer/SystemLibrary.h"

namespace {
const char kMsiLibrary[] = "msi.dll";

struct MsiBinding {
    SystemLibrary library;
    MsiApi api = {};
    bool bound = false;

    MsiBinding() {
        if (!library.Load(kMsiLibrary)) {
            NoteSystemLibraryFailure(kMsiLibrary, ::GetLastError());
            return;
        }
        bound = Bind(api.closeHandle, 8) && Bind(api.databaseOpenView, 31) && Bind(api.openDatabase, 91) &&
                Bind(api.recordGetString, 117) && Bind(api.viewExecute, 159) && Bind(api.viewFetch, 160);
        if (!bound) NoteSystemLibraryFailure(kMsiLibrary, ERROR_PROC_NOT_FOUND);
    }
    template <class F>
    bool Bind(F& function, WORD ordinal) {
        function = reinterpret_cast<F>(library.Proc(MAKEINTRESOURCEA(ordinal)));
        return function != nullptr;
    }
};
}  // namespace

const MsiApi* BoundMsi() {
    // Bound once, by whichever thread first needs it; the module stays loaded for the process.
    static MsiBinding binding;
    return binding.bound ? &binding.api : nullptr;
}

void MsiHandle::Close() {
    if (!m_h) return;
    MSIHANDLE h = m_h;
    m_h = 0;
    // A handle exists only where msi.dll was bound.
    const MsiApi* msi = BoundMsi();
    if (msi) CallMsi([&] { return msi->closeHandle(h); });
}
