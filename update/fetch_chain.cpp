#include "update/fetch_chain.h"

#include <iterator>

#include "base/launcher_state.h"
#include "update/local_copy.h"
#include "update/net/split_download.h"
#include "update/net/whole_file.h"
#include "update/patch/delta_source.h"
#include "update/patch/patch.h"

bool FetchToTmp(EntryFetch& fetch) {
    // Cheapest on the wire first. Bytes already in the game folder under another name cost
    // nothing; a lookup by digest finds none for a file whose content is new. A delta from the
    // old copy's content carries a rebuilt file's changes alone, where a rebuild moves nearly
    // every block; the row says which old contents have one. A patch sends only
    // the blocks the old copy lacks, or the end of an interrupted transfer. The compressed copy
    // sends fewer bytes than the file, in pieces where the server answers ranges. Raw pieces keep
    // several connections on a big file. The whole file is always correct, so it comes last and
    // never passes.
    constexpr Source kSources[] = {LocalCopySource, DeltaSource, PatchSource,
                                   PackedSource,    SplitSource, WholeSource};
    for (Source source : kSources) {
        if (State().cancelRequested.load()) return false;
        switch (source(fetch)) {
        case SourceAnswer::Done:
            return true;
        case SourceAnswer::Failed:
            return false;
        case SourceAnswer::NotForMe:
            break;
        }
    }
    return false;
}
