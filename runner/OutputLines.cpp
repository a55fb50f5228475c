#include "runner/OutputLines.h"

#include <vector>

namespace {
// Whether codePage is UTF-8 itself or names the system's code page that is (Windows can be set
// to use UTF-8 as its ANSI and OEM code page).
bool IsUtf8(UINT codePage) {
    return codePage == CP_UTF8 || (codePage == CP_OEMCP && ::GetOEMCP() == CP_UTF8) ||
           (codePage == CP_ACP && ::GetACP() == CP_UTF8);
}
}  // namespace

OutputLines::OutputLines(Sink sink, LeftOutSink leftOut, UINT codePage, OutputLimits limits)
    : m_sink(std::move(sink)), m_leftOut(std::move(leftOut)), m_codePage(codePage), m_limits(limits) {
    // The bytes each character takes by its first byte: a lead byte and its trail byte in a
    // double-byte code page; in UTF-8, whose first bytes no lead-byte table knows, up to four.
    const bool utf8 = IsUtf8(m_codePage);
    size_t widest = 1;
    for (int b = 0; b < 256; ++b) {
        m_width[b] = 1;
        if (utf8)
            m_width[b] = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 1;
        else if (b >= 0x80 && ::IsDBCSLeadByteEx(m_codePage, static_cast<BYTE>(b)))
            m_width[b] = 2;
        m_stop[b] = m_width[b] > 1 || b == '\r' || b == '\n';
        if (m_width[b] > widest) widest = m_width[b];
    }
    if (m_limits.lineBytes < widest) m_limits.lineBytes = widest;  // room for one whole character
    if (m_limits.lineCost < 1) m_limits.lineCost = 1;               // empty lines are bounded too
}

size_t OutputLines::RunEnd(const char* bytes, size_t from, size_t limit) const {
    while (from < limit && !m_stop[static_cast<unsigned char>(bytes[from])]) ++from;
    return from;
}

void OutputLines::Add(const char* bytes, size_t count) {
    size_t i = 0;
    while (i < count) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        // CR LF is one line end; a lone CR or LF is one too. No code page has them as trail
        // bytes: after a lead byte they end the line all the same, the lead byte shown as '?'.
        if (b == '\r' || b == '\n') {
            const bool secondHalf = b == '\n' && m_afterCr;
            m_afterCr = b == '\r';
            m_trailsDue = 0;
            if (!secondHalf) {
                Line(m_partial.data(), m_partial.size());
                m_partial.clear();
            }
            ++i;
            continue;
        }
        m_afterCr = false;
        if (m_trailsDue) {
            m_partial.push_back(static_cast<char>(b));
            --m_trailsDue;
            ++i;
            continue;
        }
        // A long line is cut before the character that would not fit, never inside it.
        const size_t width = m_width[b];
        if (m_partial.size() + width > m_limits.lineBytes) {
            Line(m_partial.data(), m_partial.size());
            m_partial.clear();
        }
        if (width > 1) {
            m_partial.push_back(static_cast<char>(b));
            m_trailsDue = width - 1;
            ++i;
            continue;
        }
        // A run of single-byte characters goes in at once, as far as the line has room: a
        // command that writes megabytes costs a scan, not a call per byte.
        const size_t room = m_limits.lineBytes - m_partial.size();
        const size_t end = RunEnd(bytes, i + 1, count - i < room ? count : i + room);
        if (m_partial.empty() && end < count && (bytes[end] == '\r' || bytes[end] == '\n')) {
            // A whole line in this piece: handed on as it lies, then its line end.
            Line(bytes + i, end - i);
            m_afterCr = bytes[end] == '\r';
            i = end + 1;
            continue;
        }
        m_partial.append(bytes + i, end - i);
        i = end;
    }
}

void OutputLines::Line(const char* raw, size_t size) {
    const size_t cost = size + m_limits.lineCost;
    if (!m_inTail && m_headUsed + cost <= m_limits.headBytes) {
        m_headUsed += cost;
        m_sink(ToLogText(std::string(raw, size), m_codePage));
        return;
    }
    // The tail: the last lines' bytes one after another, their sizes beside them. Lines that fall
    // out are only counted; the bytes before m_tailStart are given back now and then, so that
    // keeping a line costs no allocation of its own.
    m_inTail = true;
    m_tailText.append(raw, size);
    m_tailSizes.push_back(size);
    m_tailUsed += cost;
    while (m_tailUsed > m_limits.tailBytes && !m_tailSizes.empty()) {
        const size_t front = m_tailSizes.front();
        m_tailStart += front;
        m_tailUsed -= front + m_limits.lineCost;
        m_leftOutBytes += front + 1;
        ++m_leftOutLines;
        m_tailSizes.pop_front();
    }
    if (m_tailStart > m_limits.tailBytes + m_limits.lineBytes) {
        m_tailText.erase(0, m_tailStart);
        m_tailStart = 0;
    }
}

void OutputLines::Finish() {
    if (!m_partial.empty()) Line(m_partial.data(), m_partial.size());
    m_partial.clear();
    m_trailsDue = 0;
    m_afterCr = false;
    if (m_leftOutLines) m_leftOut(m_leftOutBytes, m_leftOutLines);
    size_t at = m_tailStart;
    for (size_t size : m_tailSizes) {
        m_sink(ToLogText(m_tailText.substr(at, size), m_codePage));
        at += size;
    }
    m_tailText.clear();
    m_tailSizes.clear();
    m_tailStart = 0;
    m_tailUsed = 0;
}

std::string OutputLines::ToLogText(const std::string& raw, UINT codePage) {
    if (raw.empty()) return raw;
    const int n = static_cast<int>(raw.size());
    int wide = ::MultiByteToWideChar(codePage, 0, raw.data(), n, nullptr, 0);
    if (wide <= 0) return std::string(raw.size(), '?');
    std::vector<wchar_t> text(static_cast<size_t>(wide));
    ::MultiByteToWideChar(codePage, 0, raw.data(), n, text.data(), wide);
    for (wchar_t& c : text)
        if ((c < 0x20 && c != L'\t') || c == 0x7F || c == 0xFFFD) c = L'?';
    // No best fit: a character the ANSI code page lacks is shown as '?', not as a look-alike
    // that says something the command did not write. UTF-8 takes no flags.
    const DWORD flags = ::GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int bytes = ::WideCharToMultiByte(CP_ACP, flags, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string(raw.size(), '?');
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, text.data(), wide, &out[0], bytes, flags ? "?" : nullptr, nullptr);
    return out;
}

