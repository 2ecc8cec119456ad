// MD5 of a file's content through CryptoAPI.
#pragma once

#include <string>

// 32 lower-case hex characters, or "" when the file cannot be read or hashed.
std::string ComputeFileMd5(const std::wstring& path);
