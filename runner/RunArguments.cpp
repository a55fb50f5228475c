#include "runner/RunArguments.h"

#include "scan/TokenScanner.h"

std::wstring WideField(const std::wstring& text, int k) {
    if (k < 0) return std::wstring();
    size_t open = std::wstring::npos, pos = 0;
    for (int bar = 0; bar <= k; ++bar) {
        open = text.find(L'|', pos);
        if (open == std::wstring::npos) return std::wstring();
        pos = open + 1;
    }
    size_t close = text.find(L'|', open + 1);
    if (close == std::wstring::npos) return std::wstring();
    return text.substr(open + 1, close - open - 1);
}

RunArguments ParseRunArguments(const std::wstring& arguments) {
    RunArguments parsed;
    // The numbers stand before the first '|'. A character there that the code page lacks becomes
    // its default character, never a digit: a fullwidth '１' is no number.
    std::string numbers;
    WideToAnsi(arguments.substr(0, arguments.find(L'|')), numbers);
    TokenScanner scanner(numbers);
    parsed.parentId = scanner.NextNumber(parsed.parentFound);
    bool found = false;
    parsed.reboot = scanner.NextNumber(found);
    parsed.kit = AnsiPath::FromWide(WideField(arguments, 0));
    parsed.temp = AnsiPath::FromWide(WideField(arguments, 1));
    parsed.install = AnsiPath::FromWide(WideField(arguments, 2));
    return parsed;
}
