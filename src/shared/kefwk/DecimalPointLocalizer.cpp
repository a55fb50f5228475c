#include "DecimalPointLocalizer.h"

#include "DirectoryGetter.h"
#include "INIOBJ.h"
#include "PATH.h"

#include <windows.h>

#include <mbctype.h>

#include <atomic>
#include <memory>

#include "ErrorTables.h"
#include "KEException.h"
#include "critsect.h"

DecimalPointLocalizer::DecimalPointLocalizer(ConfigurationLookup lookup)
    : m_useLocalized(false), m_systemDecimalPoint('.')
{
    m_systemDecimalPoint = GetCurrentSystemSetting();
    bool useLocalized = false;
    if (lookup && lookup(useLocalized))
        m_useLocalized = useLocalized;
}

unsigned short DecimalPointLocalizer::GetLocalizedDecimalPoint(int kind) const
{
    switch (kind) {
    case 1: return m_useLocalized ? m_systemDecimalPoint : '.';
    case 2: return m_systemDecimalPoint;
    case 3: return '.';
    case 4: return ',';
    default:
        ThrowKEException(nullptr, "DecimalPointLocalizer::GetLocalizedDecimalPoint", KE_INVALID_OR_OUT_OF_RANGE, 0,
                         KE_SOURCE_FILE, __LINE__, __TIME__);
    }
}

unsigned short DecimalPointLocalizer::GetCurrentSystemSetting()
{
    // Windows keeps this "intl" profile value in the user's registry (Control Panel\International);
    // the profile call reads it through the system's mapping on every version.
    char text[3] = {0, 0, 0};
    DWORD length = GetProfileStringA("intl", "sDecimal", "", text, sizeof text);
    if (length == 0 || text[0] == '\0') {
        ReportWarning("couldn't get system decimal point", "DecimalPointLocalizer::GetCurrentSystemSetting", __LINE__);
        return '.';
    }
    unsigned char lead = (unsigned char)text[0];
    if (lead >= 0x80 && _ismbblead(lead) && text[1])
        return (unsigned short)((lead << 8) | (unsigned char)text[1]);
    return lead;
}

namespace {

// constexpr-constructed, so it is ready before any thread can ask for the shared object.
CriticalSection g_creationLock;
std::atomic<DecimalPointLocalizer*> g_shared(nullptr);

// Deletes the shared object at process exit.
struct SharedLocalizerOwner {
    ~SharedLocalizerOwner() { delete g_shared.exchange(nullptr); }
} g_sharedOwner;

} // namespace

const DecimalPointLocalizer& DecimalPointLocalizer::GetShared()
{
    DecimalPointLocalizer* shared = g_shared.load(std::memory_order_acquire);
    if (shared)
        return *shared;
    // Concurrent first calls must end up with one object: the second thread waits here and then
    // finds the first one's. A construction that raises stores nothing, so the next call retries.
    CriticalSectionGuard guard(g_creationLock);
    shared = g_shared.load(std::memory_order_acquire);
    if (!shared) {
        std::unique_ptr<DecimalPointLocalizer> made(new DecimalPointLocalizer(FindUseLocalizedDecimalPointItem));
        shared = made.release();
        g_shared.store(shared, std::memory_order_release);
    }
    return *shared;
}

bool FindUseLocalizedDecimalPointItem(bool& useLocalized)
{
    // "TestExec.ini" [Config] takes the lead over "StartupCfg.ini" [%StartupCfg].
    useLocalized = false;
    DirectoryGetter getter;
    Path file;
    const char* section = "Config";
    getter.GetTestExecIniPath(file);
    if (!file.FileExists()) {
        getter.GetStartupCfgIniPath(file);
        section = "%StartupCfg";
        if (!file.FileExists())
            return false;
    }
    IniObj configuration(file.GetString());
    return configuration.Get(section, "UseLocalizedDecimalPoint", useLocalized);
}

unsigned short GetLocalizedDecimalPoint(int kind)
{
    return DecimalPointLocalizer::GetShared().GetLocalizedDecimalPoint(kind);
}
