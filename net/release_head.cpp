#include "net/release_head.h"

#include <windows.h>
#include <bcrypt.h>
#include <zlib.h>

#include <charconv>
#include <mutex>

#include "base/build_config.h"
#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "net/http.h"
#include "net/json.h"
#include "net/polite_get.h"
#include "net/signature.h"

namespace {

#ifdef LAUNCHER_RELEASE_HEAD
constexpr bool kReleaseHead = true;
#else
constexpr bool kReleaseHead = false;
#endif
#ifndef LAUNCHER_DEFAULT_CHANNEL
#define LAUNCHER_DEFAULT_CHANNEL "live"
#endif

// A head is a few hundred bytes; far more than any real one is refused unread.
constexpr size_t kMaxHeadBytes = 64u << 10;
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::wstring LogFolder() {
    return ParentFolderOf(InstDonePath());
}

std::string ReadSmallFile(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    char text[64] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), text, sizeof(text), &read, nullptr)) return {};
    return std::string(text, read);
}

bool ParseNumber(std::string_view text, int base, uint64_t* value) {
    const auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return error == std::errc() && ptr != text.data();
}

// The number after "key": as written (64 bits, unlike the key scanner's 32); 0 when absent.
uint64_t HeadNumber(std::string_view text, std::string_view key) {
    std::string needle(1, '"');
    needle.append(key).push_back('"');
    const size_t at = text.find(needle);
    if (at == std::string_view::npos) return 0;
    size_t from = text.find(':', at + needle.size());
    if (from == std::string_view::npos) return 0;
    from = text.find_first_not_of(" \t\r\n:", from);
    uint64_t value = 0;
    if (from == std::string_view::npos || !ParseNumber(text.substr(from), 10, &value)) return 0;
    return value;
}

bool IsSha256(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The document under prefix ("light", "prev_light"); false when it is named but malformed.
bool ReadDocument(std::string_view text, const std::string& prefix, HeadDocument& document) {
    document.sha256 = ExtractJsonString(text, prefix);
    document.size = HeadNumber(text, prefix + "_size");
    document.zsize = HeadNumber(text, prefix + "_zsize");
    if (document.sha256.empty()) return true;
    return IsSha256(document.sha256) && document.size > 0 && document.zsize > 0 &&
           document.size <= kMaxDocumentBytes && document.zsize <= kMaxDocumentBytes;
}

// As the studio's tool names channels: the name goes into a server path and a file name.
bool IsChannelName(std::string_view name) {
    if (name.empty() || name.size() > 32 || name[0] == '-') return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

std::wstring ChannelMarkerPath() {
    return LogFolder() + L"\\channel";
}

std::wstring InstallNumberPath() {
    return LogFolder() + L"\\install_number";
}

uint64_t UnixNow() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks < kUnixEpochAsFileTime ? 0 : (ticks - kUnixEpochAsFileTime) / 10000000ull;
}

uint64_t RememberedRelease(const std::string& channel) {
    uint64_t release = 0;
    const std::string text = ReadSmallFile(ReleaseMarkerPath(channel));
    return ParseNumber(text, 10, &release) ? release : 0;
}

// One zlib stream inflated into exactly size bytes; more is refused as soon as it comes.
class Inflater {
public:
    explicit Inflater(uint64_t size) : size_(size) {
        ready_ = inflateInit(&z_) == Z_OK;
        out_.reserve(static_cast<size_t>(size));
    }
    ~Inflater() {
        if (ready_) inflateEnd(&z_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool Feed(const char* data, size_t size) {
        if (!ready_ || ended_) return false; // nothing may follow the stream's end
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_.avail_in = static_cast<uInt>(size);
        char block[64 * 1024];
        while (z_.avail_in > 0 && !ended_) {
            z_.next_out = reinterpret_cast<Bytef*>(block);
            z_.avail_out = sizeof(block);
            const int result = inflate(&z_, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END) return false;
            const size_t produced = sizeof(block) - z_.avail_out;
            if (produced > size_ - out_.size()) return false;
            out_.append(block, produced);
            ended_ = result == Z_STREAM_END;
            if (result == Z_OK && produced == 0 && z_.avail_in > 0) return false;
        }
        return z_.avail_in == 0;
    }
    // The whole document, or "" when the stream did not end at exactly its size.
    std::string Take() { return ended_ && out_.size() == size_ ? std::move(out_) : std::string(); }

private:
    z_stream z_ = {};
    bool ready_ = false;
    bool ended_ = false;
    uint64_t size_ = 0;
    std::string out_;
};

std::string HeadAddress(const std::string& channel) {
    return "/heads/" + channel + ".json";
}

ChosenRelease FetchAndCheck() {
    const std::string channel = ReleaseChannel();
    const std::string path = HeadAddress(channel);
    // No "nocache=": every player asks for the same address, which a cache answers for its
    // short life.
    const std::string text = PoliteGetToString(std::wstring(LAUNCHER_UPDATE_BASE_URL) +
                                                   std::wstring(path.begin(), path.end()),
                                               kMaxHeadBytes);
    ChosenRelease chosen;
    if (text.empty()) return chosen;
    const uint64_t remembered = RememberedRelease(channel);
    chosen = CheckReleaseHead(text, channel, UnixNow(), remembered, InstallNumber());
    if (chosen.status == HeadStatus::Accepted && SigningEnabled() && chosen.release > remembered)
        ReplaceSmallFile(ReleaseMarkerPath(channel), std::to_string(chosen.release));
    return chosen;
}

// The head of this start, shared by the update run and the display information.
struct Current {
    std::mutex lock;
    ChosenRelease chosen;
    bool fetched = false;
};

Current& TheCurrent() {
    static Current* current = new Current; // never destroyed: a thread may use it at exit
    return *current;
}

} // namespace

bool ReleaseHeadEnabled() {
    return kReleaseHead;
}

bool ParseReleaseHead(std::string_view text, ReleaseHead& head) {
    head = ReleaseHead();
    head.release = HeadNumber(text, "release");
    head.rollout = text.find("\"rollout\"") == std::string_view::npos
                       ? 100
                       : static_cast<int32_t>(std::min<uint64_t>(100, HeadNumber(text, "rollout")));
    head.previous = HeadNumber(text, "previous");
    if (head.release == 0 || !ReadDocument(text, "light", head.light) ||
        !ReadDocument(text, "full", head.full) || !ReadDocument(text, "display", head.display))
        return false;
    if (head.light.sha256.empty() || head.full.sha256.empty()) return false;
    if (head.previous != 0) {
        if (head.previous >= head.release || !ReadDocument(text, "prev_light", head.prevLight) ||
            !ReadDocument(text, "prev_full", head.prevFull) ||
            !ReadDocument(text, "prev_display", head.prevDisplay) ||
            head.prevLight.sha256.empty() || head.prevFull.sha256.empty())
            head.previous = 0; // a previous release that cannot be taken: everyone takes this one
    }
    return true;
}

bool TakesRelease(uint64_t installNumber, int32_t rollout) {
    return static_cast<int32_t>(installNumber % 100) < rollout;
}

std::string ReleaseChannel() {
    const std::string kept = ReadSmallFile(ChannelMarkerPath());
    return IsChannelName(kept) ? kept : std::string(LAUNCHER_DEFAULT_CHANNEL);
}

std::string ChannelNameOf(std::wstring_view name) {
    std::string narrow;
    for (wchar_t c : name)
        narrow += static_cast<char>(c < 0x80 ? c : '?');
    return IsChannelName(narrow) ? narrow : std::string();
}

bool RememberReleaseChannel(std::wstring_view name) {
    const std::string narrow = ChannelNameOf(name);
    if (narrow.empty()) return false;
    if (ReadSmallFile(ChannelMarkerPath()) != narrow) ReplaceSmallFile(ChannelMarkerPath(), narrow);
    return true;
}

uint64_t InstallNumber() {
    uint64_t number = 0;
    const std::string kept = ReadSmallFile(InstallNumberPath());
    if (kept.size() == 16 && ParseNumber(kept, 16, &number)) return number;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&number), sizeof(number),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        number = GetTickCount64() ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
    char hex[17] = {};
    for (int i = 0; i < 16; ++i)
        hex[i] = "0123456789abcdef"[(number >> (60 - 4 * i)) & 0xf];
    ReplaceSmallFile(InstallNumberPath(), std::string(hex, 16));
    // Read back, so that two launchers starting at once agree on the one that was kept.
    const std::string again = ReadSmallFile(InstallNumberPath());
    if (again.size() == 16) ParseNumber(again, 16, &number);
    return number;
}

ChosenRelease CheckReleaseHead(const std::string& text, const std::string& channel, uint64_t now,
                               uint64_t lowestRelease, uint64_t installNumber) {
    ChosenRelease chosen;
    if (SigningEnabled()) {
        switch (CheckSignedDocumentAt(text, HeadAddress(channel).substr(1), now)) {
        case DocumentCheck::Accepted:
        case DocumentCheck::Replayed: // the head's own serial is not what guards it
            break;
        case DocumentCheck::BadSignature:
            chosen.status = HeadStatus::BadSignature;
            return chosen;
        case DocumentCheck::Expired:
            chosen.status = HeadStatus::Expired;
            return chosen;
        }
    }
    ReleaseHead head;
    if (!ParseReleaseHead(text, head)) {
        chosen.status = HeadStatus::Invalid;
        return chosen;
    }
    chosen.release = head.release;
    if (SigningEnabled() && head.release < lowestRelease) {
        chosen.status = HeadStatus::Replayed;
        return chosen;
    }
    chosen.status = HeadStatus::Accepted;
    chosen.previous = head.previous != 0 && !TakesRelease(installNumber, head.rollout);
    chosen.light = chosen.previous ? head.prevLight : head.light;
    chosen.full = chosen.previous ? head.prevFull : head.full;
    chosen.display = chosen.previous ? head.prevDisplay : head.display;
    return chosen;
}

ChosenRelease CurrentRelease() {
    Current& current = TheCurrent();
    std::lock_guard<std::mutex> guard(current.lock);
    // Once a start, failed or not: the retries and their pauses are behind it.
    if (!current.fetched) {
        current.chosen = FetchAndCheck();
        current.fetched = true;
    }
    return current.chosen;
}

void ForgetReleaseForTesting() {
    Current& current = TheCurrent();
    std::lock_guard<std::mutex> guard(current.lock);
    current.fetched = false;
    ResetPoliteBudgetForTesting();
}

std::string FetchHeadDocument(const HeadDocument& document, const std::string& kept) {
    if (!IsSha256(document.sha256)) return {};
    if (kept.size() == document.size && Sha256Hex(kept) == document.sha256) return kept;
    const std::wstring address = std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/objects/" +
                                 std::wstring(document.sha256.begin(), document.sha256.end()) +
                                 L".zman";
    const std::string packed = PoliteGetToString(address, static_cast<size_t>(document.zsize));
    if (packed.empty()) return {};
    Inflater inflater(document.size);
    if (!inflater.Feed(packed.data(), packed.size())) return {};
    std::string plain = inflater.Take();
    if (plain.empty() || Sha256Hex(plain) != document.sha256) return {};
    return plain;
}

std::wstring ReleaseMarkerPath(const std::string& channel) {
    return LogFolder() + L"\\head_" + std::wstring(channel.begin(), channel.end()) + L".release";
}
