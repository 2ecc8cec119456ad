// The adaptive binary range coder of the delta format (the LZMA kind: 11-bit probabilities
// that move a 32nd of the way after each bit, carries through a cached byte) and the few
// models built on it. Encoder and decoder share every model through one template over the
// coder, so the two can never drift apart: Code*() takes the value to write on the encoder
// side and returns the value read on the decoder side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace delta_detail {

inline constexpr int kProbBits = 11;
inline constexpr uint16_t kProbInit = 1u << (kProbBits - 1);
inline constexpr int kMoveBits = 5;
inline constexpr uint32_t kTop = 1u << 24;

class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<uint8_t>* out) : out_(out) {}

    unsigned Bit(uint16_t& prob, unsigned bit) {
        uint32_t bound = (range_ >> kProbBits) * prob;
        if (bit == 0) {
            range_ = bound;
            prob += ((1u << kProbBits) - prob) >> kMoveBits;
        } else {
            low_ += bound;
            range_ -= bound;
            prob -= prob >> kMoveBits;
        }
        while (range_ < kTop) {
            range_ <<= 8;
            ShiftLow();
        }
        return bit;
    }
    // Bits of even odds (the low bits of big numbers), at most 32.
    uint32_t Direct(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            range_ >>= 1;
            if ((value >> i) & 1) low_ += range_;
            while (range_ < kTop) {
                range_ <<= 8;
                ShiftLow();
            }
        }
        return value;
    }
    void Flush() {
        for (int i = 0; i < 5; ++i)
            ShiftLow();
    }

private:
    void ShiftLow() {
        if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t byte = cache_;
            do {
                out_->push_back(static_cast<uint8_t>(byte + carry));
                byte = 0xFF;
            } while (--pending_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        ++pending_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }

    std::vector<uint8_t>* out_;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t pending_ = 1;
};

// Reads through a byte source with NextByte() -> int (-1 once the input is spent). Past the
// end it feeds zeros and counts them, so a cut delta decodes to garbage that the caller's
// bounds and the final checks turn into a status, never into a read out of bounds.
template <typename Source> class RangeDecoder {
public:
    explicit RangeDecoder(Source* source) : source_(source) {}

    void Init() {
        for (int i = 0; i < 5; ++i)
            code_ = (code_ << 8) | Next();
    }
    unsigned Bit(uint16_t& prob, unsigned = 0) {
        uint32_t bound = (range_ >> kProbBits) * prob;
        unsigned bit;
        if (code_ < bound) {
            range_ = bound;
            prob += ((1u << kProbBits) - prob) >> kMoveBits;
            bit = 0;
        } else {
            code_ -= bound;
            range_ -= bound;
            prob -= prob >> kMoveBits;
            bit = 1;
        }
        while (range_ < kTop) {
            range_ <<= 8;
            code_ = (code_ << 8) | Next();
        }
        return bit;
    }
    uint32_t Direct(uint32_t, int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            range_ >>= 1;
            unsigned bit = code_ >= range_;
            if (bit) code_ -= range_;
            value = (value << 1) | bit;
            while (range_ < kTop) {
                range_ <<= 8;
                code_ = (code_ << 8) | Next();
            }
        }
        return value;
    }
    // Bytes asked for beyond the input's end.
    uint64_t Overrun() const { return overrun_; }
    // The encoder's flush leaves code 0 once every byte it wrote has been read.
    bool EndedCleanly() const { return code_ == 0; }

private:
    uint32_t Next() {
        int byte = source_->NextByte();
        if (byte < 0) {
            ++overrun_;
            return 0;
        }
        return static_cast<uint32_t>(byte);
    }

    Source* source_;
    uint32_t range_ = 0xFFFFFFFFu;
    uint32_t code_ = 0;
    uint64_t overrun_ = 0;
};

// A symbol of `Bits` bits through a binary tree of probabilities, top bit first.
template <int Bits> struct BitTree {
    uint16_t probs[1u << Bits];
    BitTree() {
        for (auto& p : probs)
            p = kProbInit;
    }
    template <typename Coder> uint32_t Code(Coder& coder, uint32_t symbol) {
        uint32_t node = 1;
        for (int i = Bits - 1; i >= 0; --i) {
            unsigned bit = coder.Bit(probs[node], (symbol >> i) & 1);
            node = (node << 1) | bit;
        }
        return node - (1u << Bits);
    }
};

struct BitModel {
    uint16_t prob = kProbInit;
    template <typename Coder> unsigned Code(Coder& coder, unsigned bit) {
        return coder.Bit(prob, bit);
    }
};

// An unsigned number up to 2^63: its bit length through a tree, the three bits under the top
// one through a tree per length (where the shape of a length distribution lives), the rest
// at even odds.
struct NumberModel {
    static constexpr int kModelled = 3;
    BitTree<6> length;
    BitTree<kModelled> high[64];

    template <typename Coder> uint64_t Code(Coder& coder, uint64_t value) {
        unsigned bits = 0;
        for (uint64_t v = value; v != 0; v >>= 1)
            ++bits;
        bits = length.Code(coder, bits);
        if (bits <= 1) return bits;
        unsigned rest = bits - 1;
        unsigned modelled = rest < kModelled ? rest : kModelled;
        unsigned below = rest - modelled;
        uint64_t result = 1;
        uint32_t top = static_cast<uint32_t>(value >> below) & ((1u << modelled) - 1);
        // A shorter tail keeps its own symbols in the same tree: shift them to its top.
        uint32_t symbol = high[bits].Code(coder, top << (kModelled - modelled));
        result = (result << modelled) | (symbol >> (kModelled - modelled));
        while (below > 0) {
            int take = below > 24 ? 24 : static_cast<int>(below);
            below -= take;
            uint32_t chunk = static_cast<uint32_t>(value >> below) & ((1u << take) - 1);
            result = (result << take) | coder.Direct(chunk, take);
        }
        return result;
    }
};

} // namespace delta_detail
