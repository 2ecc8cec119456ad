// The release head (only with LAUNCHER_RELEASE_HEAD): per channel one small document,
// "heads/<channel>.json", that names the channel's release by the digests of its manifests.
// The manifests themselves are immutable objects, "objects/<sha256>.zman" (one zlib stream of
// the plain document), that any cache may keep for good; only the head has a short cache life.
// A start asks for the head; a manifest it names and the launcher already holds costs nothing
// more, another one is fetched once per release.
//
// The head is flat JSON read with the key scanner:
//   {"release": 12, "channel": "live",
//    "light": "<sha256>", "light_size": N, "light_zsize": N, "full": ..., "display": ...,
//    "rollout": 10, "previous": 11, "prev_light": ..., "prev_full": ..., "prev_display": ...}
// "rollout" is the share in percent of installs that take "release"; the others take
// "previous". In a signed build the head carries the first-line signature of the other
// documents (document name "heads/<channel>.json"), expires, and its release number may never
// go down: it, not the manifests' own serials, guards against replay, so a rollback (a higher
// head naming older manifests) is taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// True in a build with LAUNCHER_RELEASE_HEAD.
bool ReleaseHeadEnabled();

// One document the head names; an empty digest when the head names none.
struct HeadDocument {
    std::string sha256; // 64 lower-case hex characters
    uint64_t size = 0;  // of the plain document
    uint64_t zsize = 0; // of its object
};

struct ReleaseHead {
    uint64_t release = 0;
    HeadDocument light, full, display;
    int32_t rollout = 100;
    uint64_t previous = 0; // 0: the head names no previous release
    HeadDocument prevLight, prevFull, prevDisplay;
};

// The head's fields; false when it names no release or a light or full digest is malformed.
bool ParseReleaseHead(std::string_view text, ReleaseHead& head);

// Whether an install with this number takes the new release at this rollout share. An
// install keeps its number, so it decides the same way on every start, and one that took the
// release at some share still takes it at every higher one.
bool TakesRelease(uint64_t installNumber, int32_t rollout);

// The name as a channel's (1 to 32 of a-z, 0-9 and "-", not starting with "-"), "" when it is
// none.
std::string ChannelNameOf(std::wstring_view name);
// The channel this install follows: the one the command line last named, else the build's.
std::string ReleaseChannel();
// Remembers a channel named on the command line; false (nothing changed) when it is no
// channel's name.
bool RememberReleaseChannel(std::wstring_view name);

// This install's own random number, made once and kept in "Log\install_number".
uint64_t InstallNumber();

enum class HeadStatus { Accepted, Unreachable, Invalid, BadSignature, Expired, Replayed };

// The release this install takes on this start.
struct ChosenRelease {
    HeadStatus status = HeadStatus::Unreachable;
    uint64_t release = 0;  // the head's release number
    bool previous = false; // the rollout left this install on the previous release
    HeadDocument light, full, display;
};

// The channel's head, fetched and checked on the first call of the process; every later call
// (the display information, a full check later on) gets the same answer.
ChosenRelease CurrentRelease();
// The pure check of a fetched head: the signature at now (seconds since 1970) when the build
// has keys, and the release against lowestRelease; then the choice for installNumber.
ChosenRelease CheckReleaseHead(const std::string& text, const std::string& channel, uint64_t now,
                               uint64_t lowestRelease, uint64_t installNumber);

// The plain bytes of a document the head names: kept itself when its SHA-256 is the named one,
// otherwise its object, inflated within the named sizes and checked by its SHA-256. "" on
// every failure (not on the server, too big, a digest that does not match).
std::string FetchHeadDocument(const HeadDocument& document, const std::string& kept);

// Tests start anew: the next CurrentRelease fetches the head again, with a fresh request budget.
void ForgetReleaseForTesting();

// Log\head_<channel>.release: the highest release accepted for the channel.
std::wstring ReleaseMarkerPath(const std::string& channel);
