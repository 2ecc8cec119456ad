// A library that loads but lacks the runtime's entry point, for the loader's error path.
#include <windows.h>

extern "C" __declspec(dllexport) int ZarvoNoEntryMarker() { return 1; }
