// One download attempt's transfer of an entry into its ".tmp", through the sources of its bytes
// in one order.
//
// What every source may assume: the attempt is not cancelled as it begins; the ".tmp" may hold
// what an earlier attempt or run left (a prefix, pieces, a patch in progress), never bytes it
// may trust unchecked. What it must leave behind:
// - Done only for a ".tmp" flushed to disk whose content matched the entry's digests (MD5, and
//   SHA-256 when the entry has one) as it was written or read back, its handle closed: the
//   worker at once holds it against writers and places it by a rename through that handle,
//   and checks nothing more.
// - Never a ".tmp" longer than the entry can be, whatever the server sends; never a write
//   outside the entry's ".tmp".
// - On Failed or NotForMe, a ".tmp" that is either gone or a state the next attempt can use
//   (a prefix of the file, or pieces written behind a length one byte past the file).
// - fetch.status: the HTTP status of the answer that decided, 0 when none came.
#pragma once

#include "update/net/source.h"

// True when the ".tmp" holds the entry's content, checked.
bool FetchToTmp(EntryFetch& fetch);
