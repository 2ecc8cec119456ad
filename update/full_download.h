// Downloading the whole game when it is not installed, resumable across starts.
#pragma once

void RunFullGameDownload();
