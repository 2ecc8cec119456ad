// What the encoder and the decoder agree on: the header's layout and the models of the body.
//
// The body is a list of runs until the new file is complete. A run is a copy (copyLen bytes of
// the old file from oldStart, each plus a difference byte: bsdiff's approximate match) and an
// insert (insertLen bytes of their own). The differences are mostly zero, so they are coded
// as runs of zeros between nonzero bytes, which the decoder turns into plain copies. A copy's
// start is coded as one of: where the last copy ended, one of the last three offsets (old
// position minus new position) again, or an explicit seek from where the last copy ended.
#pragma once

#include "delta/range_coder.h"

#include <cstdint>

namespace delta_detail {

inline constexpr uint8_t kMagic[4] = {'Z', 'D', 'L', 'T'};

// Offset kinds of a copy's start.
enum : uint32_t { kContinue = 0, kRep0 = 1, kRep1 = 2, kRep2 = 3, kExplicit = 4 };
inline constexpr int kReps = 3;
inline constexpr int kLiteralContextBits = 3;

struct RepOffsets {
    int64_t offsets[kReps] = {0, 0, 0};

    // The most recent offset first; one used again moves to the front.
    void Use(int64_t offset) {
        int at = kReps - 1;
        for (int i = 0; i < kReps; ++i) {
            if (offsets[i] == offset) {
                at = i;
                break;
            }
        }
        for (int i = at; i > 0; --i)
            offsets[i] = offsets[i - 1];
        offsets[0] = offset;
    }
};

struct Models {
    NumberModel copyLen;
    NumberModel insertLen;
    BitTree<3> offsetKind;
    BitModel seekSign;
    NumberModel seekMagnitude;
    // Differences come in patterns: a table's entries move by the same amount at the same
    // places, so the zeros before the next difference and its value are predicted from the
    // last ones (one guess each from a hashed table, with a confidence), coded in full only
    // when the guesses miss.
    struct Guess {
        uint32_t value = 0;
        uint8_t confidence = 0;
        void Learn(uint32_t actual) {
            if (actual == value) {
                if (confidence < 3) ++confidence;
            } else if (confidence > 0) {
                --confidence;
            } else {
                value = actual;
            }
        }
    };
    static constexpr unsigned kGuessBits = 16;
    Guess runGuess2[1u << kGuessBits];
    Guess runGuess1[1u << 12];
    Guess diffGuess[1u << kGuessBits];
    BitModel runHit2[4];
    BitModel runHit1[4];
    BitModel diffHit[8];
    NumberModel zeroRun[8];
    BitTree<8> diffByte[3];
    BitTree<8> literal[1u << kLiteralContextBits];

    // The state the contexts of the difference bytes and literals are drawn from.
    uint64_t lastZeroRun = 0;
    uint64_t lastZeroRun2 = 0;
    uint8_t lastDiff = 0;
    uint8_t lastByte = 0;

    static unsigned Bucket(uint64_t n) {
        unsigned bits = 0;
        for (; n != 0 && bits < 7; n >>= 1)
            ++bits;
        return bits;
    }
    static uint32_t Hash(uint64_t a, uint64_t b) {
        uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
        return static_cast<uint32_t>(h >> (64 - kGuessBits));
    }
    // Zeros before the next nonzero difference.
    template <typename Coder> uint64_t CodeZeroRun(Coder& coder, uint64_t zeros) {
        Guess& g2 = runGuess2[Hash(lastZeroRun, lastZeroRun2 + 1)];
        Guess& g1 = runGuess1[lastZeroRun < 4095 ? lastZeroRun : 4095];
        if (runHit2[g2.confidence].Code(coder, zeros == g2.value)) {
            zeros = g2.value;
        } else if (g1.value != g2.value && runHit1[g1.confidence].Code(coder, zeros == g1.value)) {
            zeros = g1.value;
        } else {
            zeros = zeroRun[Bucket(lastZeroRun)].Code(coder, zeros);
        }
        uint32_t learnt = zeros < 0xFFFFFFFFu ? static_cast<uint32_t>(zeros) : 0xFFFFFFFFu;
        g2.Learn(learnt);
        g1.Learn(learnt);
        lastZeroRun2 = lastZeroRun;
        lastZeroRun = zeros;
        return zeros;
    }
    // A nonzero difference.
    template <typename Coder> uint8_t CodeDiff(Coder& coder, uint64_t zeros, uint8_t diff) {
        Guess& g = diffGuess[Hash(zeros < 1023 ? zeros : 1023, lastDiff)];
        unsigned adjacent = zeros == 0;
        if (diffHit[g.confidence + 4 * adjacent].Code(coder, diff == g.value)) {
            diff = static_cast<uint8_t>(g.value);
        } else {
            unsigned ctx = adjacent ? 1 + (lastDiff >> 7) : 0;
            diff = static_cast<uint8_t>(diffByte[ctx].Code(coder, diff));
        }
        g.Learn(diff);
        lastDiff = diff;
        return diff;
    }
    BitTree<8>& Literal() { return literal[lastByte >> (8 - kLiteralContextBits)]; }
};

inline void PutLe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint64_t GetLe(const uint8_t* at, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

} // namespace delta_detail
