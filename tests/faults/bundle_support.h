// Bundles of small files as the publishing tool writes them, for the fault tests: the members
// one after the other, and the rows that name their places.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "faults/fault_support.h"
#include "support/gzip_copy.h"

namespace faults {

struct Member {
    std::string name;
    std::string content;
};

struct Bundle {
    std::string digest; // the name its rows give it
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> places; // offset, length of each member
    std::string Key() const { return "/objects/" + digest + ".zbd"; }
};

// The members one after the other: a gzip member where it is smaller, as the publishing tool
// writes them.
inline Bundle MakeBundle(const std::vector<Member>& members) {
    Bundle b;
    for (const Member& m : members) {
        const std::string packed = test::GzipMembers(m.content);
        const std::string& member = packed.size() < m.content.size() ? packed : m.content;
        b.places.push_back({b.bytes.size(), member.size()});
        b.bytes += member;
    }
    b.digest = test::Md5Hex(b.bytes) + test::Md5Hex("second half" + b.bytes);
    return b;
}

inline std::string PlaceKeys(const std::string& digest, size_t offset, size_t length) {
    return ", \"zbundle\": \"" + digest + "\", \"zboffset\": " + std::to_string(offset) +
           ", \"zblength\": " + std::to_string(length);
}

// Offers the bundle and names each member's place in its file's row.
inline void Offer(FaultGame& game, const std::vector<Member>& members, const Bundle& b) {
    game.Serve(b.Key().substr(1), b.bytes);
    for (size_t i = 0; i < members.size(); ++i)
        game.AddRowKeys(members[i].name,
                        PlaceKeys(b.digest, b.places[i].first, b.places[i].second));
}

// Requests of the log to key (its path before the query).
inline int RequestsTo(const std::vector<test::LoggedRequest>& all, const std::string& key) {
    int count = 0;
    for (const test::LoggedRequest& r : all)
        count += r.path.compare(0, key.size() + 1, key + "?") == 0;
    return count;
}

} // namespace faults
