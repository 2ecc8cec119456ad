// An entry's bytes as one body: the file or its compressed copy, whole, into its ".tmp"; and
// the compressed copy in pieces of whole members from a server that answers ranges.
#pragma once

#include "update/net/source.h"

// The compressed copy: in pieces while the server answers ranges, else whole. NotForMe when
// the entry has none or it proved unusable (fetch.packed is then cleared for the attempts
// after this one as well).
SourceAnswer PackedSource(EntryFetch& fetch);
// The file whole: the last source, which never passes the entry on.
SourceAnswer WholeSource(EntryFetch& fetch);
