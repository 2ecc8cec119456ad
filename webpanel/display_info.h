// The server's display-information document: whether and which page the web panel shows.
#pragma once

#include <string>

// True when the document was fetched; enabled and url are reset at entry.
bool FetchDisplayInfo(bool& enabled, std::wstring& url);

// Background thread body: fetch once, store under displayInfoMutex, post 1027.
void DisplayInfoThread();
