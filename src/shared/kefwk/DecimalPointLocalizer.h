// The decimal point the framework shows and reads numbers with: the user's decimal separator
// combined with the product's "UseLocalizedDecimalPoint" configuration item.
//
// Every other piece of formatting keeps the "C" locale's "."; callers ask for a localized point
// by kind:
//   1  the user's separator when the product is configured to use it, otherwise "."
//   2  the user's separator
//   3  always "."
//   4  always ","
// Characters are character codes as String::GetAt gives them (a double-byte character has its
// lead byte in the high half).
#pragma once

class DecimalPointLocalizer {
public:
    // Answers whether the configuration item was found, and its value in useLocalized. Raises
    // KEException when the configuration cannot be read.
    typedef bool (*ConfigurationLookup)(bool& useLocalized);

    // Reads the user's separator and asks lookup for the configuration item.
    explicit DecimalPointLocalizer(ConfigurationLookup lookup);
    DecimalPointLocalizer(const DecimalPointLocalizer&) = delete;
    DecimalPointLocalizer& operator=(const DecimalPointLocalizer&) = delete;

    // Raises KE_INVALID_OR_OUT_OF_RANGE for an unknown kind.
    unsigned short GetLocalizedDecimalPoint(int kind) const;
    bool GetUseLocalizedDecimalPoint() const { return m_useLocalized; }
    unsigned short GetSystemDecimalPoint() const { return m_systemDecimalPoint; }

    // The user's decimal separator as the system reports it now; "." (with a warning) when it
    // cannot be read.
    static unsigned short GetCurrentSystemSetting();

    // The process-wide object, made on first use from the product's configuration. A failure to
    // read the configuration propagates and the next call tries again. Concurrent first calls
    // share one object.
    static const DecimalPointLocalizer& GetShared();

private:
    bool m_useLocalized;
    unsigned short m_systemDecimalPoint;
};

// The product's "UseLocalizedDecimalPoint" item: [Config] of "TestExec.ini" when that file exists
// in the global configuration directory, else [%StartupCfg] of "StartupCfg.ini". True when the
// item was found, with its value in useLocalized.
bool FindUseLocalizedDecimalPointItem(bool& useLocalized);

// The process-wide object's point for kind, making the object first if needed.
unsigned short GetLocalizedDecimalPoint(int kind);
