// The delta codec on the host: round trips over edited files of many shapes, and deltas that
// are cut, bent or written by hand to break the decoder's bounds, each of which must end in a
// clean status without a byte read outside the old file or written past the new size.
#include "delta/delta.h"
#include "delta/delta_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

using namespace delta_detail;
using Bytes = std::vector<uint8_t>;

namespace {

// Applies a delta while checking every callback against the bounds the decoder promises.
struct Applied {
    DeltaStatus status;
    Bytes out;
};

Applied Apply(const Bytes& delta, const Bytes& old, uint64_t newSize,
              const std::atomic<bool>* cancel = nullptr) {
    Applied result;
    DeltaApplyIo io;
    io.readOld = [&](uint64_t offset, uint8_t* buffer, size_t n) {
        EXPECT_LE(n, kDeltaOldWindow);
        EXPECT_LE(offset + n, old.size()) << "read outside the old file";
        if (offset + n > old.size()) return false;
        std::copy_n(old.begin() + static_cast<ptrdiff_t>(offset), n, buffer);
        return true;
    };
    io.writeNew = [&](const uint8_t* data, size_t n) {
        EXPECT_LE(result.out.size() + n, newSize) << "wrote past newSize";
        result.out.insert(result.out.end(), data, data + n);
        return true;
    };
    result.status = ApplyDeltaFromMemory(delta, io, old.size(), newSize, cancel);
    return result;
}

Bytes Encode(const Bytes& old, const Bytes& next, unsigned threads = 0) {
    Bytes delta;
    EXPECT_EQ(EncodeDelta(old, next, &delta, threads), DeltaStatus::Ok);
    return delta;
}

Bytes Random(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Something shaped like a binary: code-like bytes and a table of 8-byte pointers.
Bytes BinaryLike(std::mt19937& rng, size_t n) {
    Bytes b = Random(rng, n);
    for (size_t i = 0; i + 8 <= n / 2; i += 8) {
        uint64_t ptr = 0x400000 + (rng() % 0x10000) * 16;
        for (int k = 0; k < 8; ++k)
            b[n / 2 + i + k] = static_cast<uint8_t>(ptr >> (8 * k));
    }
    return b;
}

// A "rebuild": a few bytes inserted and removed, a pointer in every 64 bytes moved by 0x40.
Bytes Rebuilt(std::mt19937& rng, Bytes b) {
    for (size_t i = b.size() / 2; i + 8 <= b.size(); i += 64)
        b[i] += 0x40;
    for (int edit = 0; edit < 6; ++edit) {
        size_t at = rng() % (b.size() + 1);
        if (edit % 2) {
            Bytes piece = Random(rng, 1 + rng() % 300);
            b.insert(b.begin() + static_cast<ptrdiff_t>(at), piece.begin(), piece.end());
        } else {
            size_t n = std::min<size_t>(b.size() - at, rng() % 300);
            b.erase(b.begin() + static_cast<ptrdiff_t>(at),
                    b.begin() + static_cast<ptrdiff_t>(at + n));
        }
    }
    return b;
}

void ExpectRoundTrip(const Bytes& old, const Bytes& next, const char* what, unsigned threads = 0) {
    Bytes delta = Encode(old, next, threads);
    Applied a = Apply(delta, old, next.size());
    EXPECT_EQ(a.status, DeltaStatus::Ok) << what;
    EXPECT_TRUE(a.out == next) << what;
}

TEST(DeltaCodec, RoundTripsEveryShapeOfPair) {
    std::mt19937 rng(36);
    Bytes base = BinaryLike(rng, 200000);
    Bytes grown = Random(rng, 777);
    grown.insert(grown.end(), base.begin(), base.end());
    grown.insert(grown.end(), 999, 0xAB);

    ExpectRoundTrip({}, {}, "both empty");
    ExpectRoundTrip({}, base, "empty old");
    ExpectRoundTrip(base, {}, "empty new");
    ExpectRoundTrip(base, base, "identical");
    ExpectRoundTrip(base, grown, "insertions at both ends");
    ExpectRoundTrip(grown, base, "removals at both ends");
    ExpectRoundTrip(Random(rng, 5000), Random(rng, 6000), "unrelated");
    ExpectRoundTrip(Bytes(100000, 0), Bytes(150000, 0), "zeros");
    ExpectRoundTrip({7}, {7, 7}, "one byte");
    // More than a MiB, so the match search runs on both halves at once.
    Bytes big = BinaryLike(rng, (2 << 20) + 4096);
    Bytes bigNext = Rebuilt(rng, big);
    ExpectRoundTrip(big, bigNext, "rebuilt, two threads", 2);
    ExpectRoundTrip(big, bigNext, "rebuilt, one thread", 1);
    // Each half starts where the file would be at that point, not at the old file's start.
    EXPECT_LT(Encode(big, big, 2).size(), 100u);
    for (int i = 0; i < 20; ++i) {
        Bytes old = BinaryLike(rng, 1 + rng() % 40000);
        ExpectRoundTrip(old, Rebuilt(rng, old), "random edits");
    }
}

TEST(DeltaCodec, RoundTripsARealExecutable) {
    // This test program itself, rebuilt in the manner of a relinked binary.
    std::ifstream self("/proc/self/exe", std::ios::binary);
    Bytes old((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
    ASSERT_GT(old.size(), 100000u);
    std::mt19937 rng(7);
    Bytes next = Rebuilt(rng, old);
    Bytes delta = Encode(old, next);
    EXPECT_LT(delta.size(), next.size() / 20);
    Applied a = Apply(delta, old, next.size());
    EXPECT_EQ(a.status, DeltaStatus::Ok);
    EXPECT_TRUE(a.out == next);
}

TEST(DeltaCodec, CutBentOrMisappliedDeltasFailCleanly) {
    std::mt19937 rng(1);
    Bytes old = BinaryLike(rng, 60000);
    Bytes next = Rebuilt(rng, old);
    Bytes delta = Encode(old, next);

    for (size_t cut = 0; cut < delta.size(); ++cut) {
        Bytes shorter(delta.begin(), delta.begin() + static_cast<ptrdiff_t>(cut));
        EXPECT_NE(Apply(shorter, old, next.size()).status, DeltaStatus::Ok) << "cut at " << cut;
    }
    Bytes longer = delta;
    longer.push_back(0);
    EXPECT_EQ(Apply(longer, old, next.size()).status, DeltaStatus::Corrupt);
    for (size_t at = kDeltaHeaderSize; at < delta.size(); ++at) {
        Bytes bent = delta;
        bent[at] ^= static_cast<uint8_t>(1 + rng() % 255);
        Applied a = Apply(bent, old, next.size());
        if (a.status == DeltaStatus::Ok) {
            EXPECT_TRUE(a.out == next) << "byte " << at;
        }
    }
    // The caller's sizes rule: another old file or another row's size is refused up front.
    EXPECT_EQ(Apply(delta, old, next.size() - 1).status, DeltaStatus::SizeMismatch);
    Bytes otherOld(old.begin(), old.end() - 1);
    EXPECT_EQ(Apply(delta, otherOld, next.size()).status, DeltaStatus::SizeMismatch);
    EXPECT_TRUE(Apply(delta, old, next.size() - 1).out.empty());
    Bytes wrongOld = old;
    wrongOld[old.size() / 3] ^= 1;
    EXPECT_EQ(Apply(delta, wrongOld, next.size()).status, DeltaStatus::Corrupt);
    Bytes badMagic = delta;
    badMagic[0] = 'X';
    EXPECT_EQ(Apply(badMagic, old, next.size()).status, DeltaStatus::Corrupt);
    Bytes newer = delta;
    newer[4] = 99;
    EXPECT_EQ(Apply(newer, old, next.size()).status, DeltaStatus::Unsupported);

    std::atomic<bool> cancel{true};
    EXPECT_EQ(Apply(delta, old, next.size(), &cancel).status, DeltaStatus::Cancelled);
}

// A body written by hand, for numbers the encoder never writes.
Bytes Crafted(uint64_t oldSize, uint64_t newSize,
              const std::function<void(RangeEncoder&, Models&)>& body) {
    Bytes out(kDeltaHeaderSize, 0);
    std::copy_n(kMagic, 4, out.begin());
    PutLe(out.data() + 4, kDeltaFormatVersion, 4);
    PutLe(out.data() + 8, oldSize, 8);
    PutLe(out.data() + 16, newSize, 8);
    RangeEncoder rc(&out);
    auto m = std::make_unique<Models>();
    body(rc, *m);
    rc.Flush();
    return out;
}

TEST(DeltaCodec, HostileNumbersStopAtTheBounds) {
    Bytes old(1000, 5);
    const uint64_t newSize = 4000;
    struct Case {
        const char* what;
        std::function<void(RangeEncoder&, Models&)> body;
        DeltaStatus expected;
    };
    const Case cases[] = {
        {"copy past the old file's end",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 1001);
             m.offsetKind.Code(rc, kContinue);
         },
         DeltaStatus::OutOfBounds},
        {"seek behind the old file's start",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 10);
             m.offsetKind.Code(rc, kExplicit);
             m.seekSign.Code(rc, 1);
             m.seekMagnitude.Code(rc, 4);
         },
         DeltaStatus::OutOfBounds},
        {"seek beyond the old file",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 1);
             m.offsetKind.Code(rc, kExplicit);
             m.seekSign.Code(rc, 0);
             m.seekMagnitude.Code(rc, uint64_t{1} << 61);
         },
         DeltaStatus::OutOfBounds},
        {"more output than the new size",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 0);
             m.insertLen.Code(rc, newSize + 1);
         },
         DeltaStatus::OutOfBounds},
        {"zeros past the copy",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 4);
             m.offsetKind.Code(rc, kContinue);
             m.CodeZeroRun(rc, 9);
         },
         DeltaStatus::OutOfBounds},
        {"runs that make nothing",
         [](RangeEncoder& rc, Models& m) {
             for (int i = 0; i < 100; ++i) {
                 m.copyLen.Code(rc, 0);
                 m.insertLen.Code(rc, 0);
             }
         },
         DeltaStatus::Corrupt},
        {"an offset kind that does not exist",
         [](RangeEncoder& rc, Models& m) {
             m.copyLen.Code(rc, 3);
             m.offsetKind.Code(rc, 7);
         },
         DeltaStatus::Corrupt},
    };
    for (const Case& c : cases) {
        Applied a = Apply(Crafted(old.size(), newSize, c.body), old, newSize);
        EXPECT_EQ(a.status, c.expected) << c.what << ": " << DeltaStatusName(a.status);
    }
}

} // namespace
