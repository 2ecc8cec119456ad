// A key scanner for the server's small JSON documents: finds the first occurrence of a quoted
// key anywhere in the text and reads the value after it. Not a parser, on purpose: the
// manifest format is defined by exactly these reading rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Raw bytes between the quotes of the key's string value (escapes kept), or "".
std::string ExtractJsonString(std::string_view text, std::string_view key);

// The key's value as a signed 32-bit decimal (strtol rules, clamped), or 0.
int32_t ExtractJsonInt(std::string_view text, std::string_view key);

// UTF-8 to UTF-16, up to the first NUL; malformed bytes become U+FFFD; empty on failure.
std::wstring Utf8ToWide(std::string_view text);
