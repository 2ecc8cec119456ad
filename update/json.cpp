#include "update/json.h"

// Stand-in until the reader lands.
std::string ExtractJsonString(const std::string&, const std::string&) { return {}; }
int32_t ExtractJsonInt(const std::string&, const std::string&) { return 0; }
std::wstring Utf8ToWide(const std::string&) { return {}; }
