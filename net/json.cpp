#include "net/json.h"

#include <windows.h>

#include <climits>

namespace {

// Position of the first occurrence of the quoted key, or npos.
// Searched for in place, without building the quoted needle: the manifest reader asks this
// four or five times for every one of tens of thousands of rows.
size_t FindQuotedKey(std::string_view text, std::string_view key) {
    const size_t needed = key.size() + 2;
    if (text.size() < needed) return std::string_view::npos;
    for (size_t pos = text.find('"'); pos != std::string_view::npos && pos + needed <= text.size();
         pos = text.find('"', pos + 1)) {
        if (text[pos + needed - 1] == '"' && text.compare(pos + 1, key.size(), key) == 0)
            return pos;
    }
    return std::string_view::npos;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal string-to-long for a 32-bit long, as the C library does it: leading white space,
// one optional sign, digits up to the first non-digit; out-of-range values saturate.
int32_t ParseDecimalLong(std::string_view text, size_t pos) {
    const size_t end = text.size();
    while (pos < end && IsCSpace(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate the magnitude, stopping to grow once it is past every 32-bit value.
    constexpr int64_t kLimit = static_cast<int64_t>(INT32_MAX) + 1;
    int64_t magnitude = 0;
    while (pos < end && text[pos] >= '0' && text[pos] <= '9') {
        if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[pos] - '0');
        ++pos;
    }
    if (negative) return magnitude >= kLimit ? INT32_MIN : static_cast<int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

} // namespace

std::string ExtractJsonString(std::string_view text, std::string_view key) {
    const size_t keyPos = FindQuotedKey(text, key);
    if (keyPos == std::string_view::npos) return {};
    const size_t colon = text.find(':', keyPos);
    if (colon == std::string_view::npos) return {};
    const size_t openQuote = text.find('"', colon);
    if (openQuote == std::string_view::npos) return {};
    const size_t start = openQuote + 1;
    if (start >= text.size()) return {};
    // The next quote ends the value, escaped or not: escapes are kept as written.
    const size_t closeQuote = text.find('"', start);
    if (closeQuote == std::string_view::npos) return {};
    return std::string(text.substr(start, closeQuote - start));
}

int32_t ExtractJsonInt(std::string_view text, std::string_view key) {
    const size_t keyPos = FindQuotedKey(text, key);
    if (keyPos == std::string_view::npos) return 0;
    size_t pos = text.find(':', keyPos);
    if (pos == std::string_view::npos) return 0;
    while (pos < text.size() && (text[pos] == ':' || text[pos] == ' '))
        ++pos;
    return ParseDecimalLong(text, pos);
}

std::wstring Utf8ToWide(std::string_view text) {
    if (text.empty()) return {};
    const size_t nul = text.find('\0');
    const size_t length = nul == std::string_view::npos ? text.size() : nul;
    if (length == 0 || length > static_cast<size_t>(INT_MAX)) return {};
    // Plain ASCII, as nearly every path is, widens unit for unit.
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(text[i]) < 0x80;
    if (ascii) return std::wstring(text.begin(), text.begin() + static_cast<ptrdiff_t>(length));
    const int bytes = static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<size_t>(units), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, wide.data(), units);
    if (written <= 0) return {};
    wide.resize(static_cast<size_t>(written));
    return wide;
}
