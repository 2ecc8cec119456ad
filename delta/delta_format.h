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
    NumberModel zeroRun[3];
    BitTree<8> diffByte[3];
    BitTree<8> literal[1u << kLiteralContextBits];

    // The state the contexts of the difference bytes and literals are drawn from.
    uint64_t lastZeroRun = 0;
    uint8_t lastDiff = 0;
    uint8_t lastByte = 0;

    unsigned ZeroRunContext() const { return lastZeroRun == 0 ? 0 : (lastZeroRun < 16 ? 1 : 2); }
    unsigned DiffContext(uint64_t zeroRun) const { return zeroRun != 0 ? 0 : 1 + (lastDiff >> 7); }
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
