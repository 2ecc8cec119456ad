#include "update/workers.h"

// Stand-in until the workers land.
void VerifyWorker(VerifyContext) {}
void DownloadWorker(DownloadContext) {}
