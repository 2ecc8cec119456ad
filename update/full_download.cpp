#include "update/full_download.h"

// Stand-in until the full download lands.
void RunFullGameDownload() {}
