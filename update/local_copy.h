// A file whose bytes are already in the game folder under another name (a file of the
// previous release that moved, another listed file with the same content) is copied from
// there into its ".tmp", with its digests checked as the bytes go by, like a download.
#pragma once

#include "update/net/source.h"

// Done when a seed held the entry's content; NotForMe when none did (nothing was left
// behind: the network is asked next); Failed only on a cancel.
SourceAnswer LocalCopySource(EntryFetch& fetch);
