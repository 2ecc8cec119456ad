// Reading block indexes and the checksums they hold. Layout (little-endian): "ZVBI", format 1,
// strong length, two zero bytes, block size (32 bits), file size (64 bits), the file's MD5
// (16 bytes); then per block its Adler-32 (32 bits) and the leading bytes of its MD5.
#include "update/patch/block_index.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "update/digest.h"

namespace {

constexpr char kMagic[4] = {'Z', 'V', 'B', 'I'};
constexpr uint8_t kFormat = 1;
constexpr size_t kHeaderBytes = 36;
constexpr uint32_t kAdlerBase = 65521;
// Sums of up to this many bytes cannot overflow 32 bits before the modulo (zlib's NMAX).
constexpr size_t kAdlerRun = 5552;

uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t ReadLe64(const uint8_t* p) {
    return uint64_t{ReadLe32(p)} | uint64_t{ReadLe32(p + 4)} << 32;
}

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

uint32_t LaneSum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

} // namespace

// Sums of 32 bytes at a time in SSE2 registers, as zlib's vector versions do: per lane the byte
// sum (a) and the byte sum weighted by the distance to the end of the 32 bytes (b), the a
// before each step gathered apart and added to b times 32 at the end of each run. Runs stay
// within kAdlerRun bytes, so no lane overflows before the modulo. Several times faster than a
// byte at a time, which matters for the in-order scan of a whole file.
uint32_t Adler32(const uint8_t* data, size_t size) {
    uint32_t a = 1, b = 0;
    constexpr size_t kStep = 32;
    const __m128i zero = _mm_setzero_si128();
    const __m128i tap1 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25);
    const __m128i tap2 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i tap3 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i tap4 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (size >= kStep) {
        size_t steps = std::min(size, kAdlerRun) / kStep;
        size -= steps * kStep;
        __m128i before = _mm_cvtsi32_si128(static_cast<int>(a * steps));
        __m128i sumA = zero;
        __m128i sumB = _mm_cvtsi32_si128(static_cast<int>(b));
        do {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
            before = _mm_add_epi32(before, sumA);
            sumA = _mm_add_epi32(sumA, _mm_sad_epu8(low, zero));
            sumA = _mm_add_epi32(sumA, _mm_sad_epu8(high, zero));
            sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), tap1));
            sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), tap2));
            sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), tap3));
            sumB = _mm_add_epi32(sumB, _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), tap4));
            data += kStep;
        } while (--steps);
        sumB = _mm_add_epi32(sumB, _mm_slli_epi32(before, 5));
        a = (a + LaneSum(sumA)) % kAdlerBase;
        b = LaneSum(sumB) % kAdlerBase;
    }
    while (size--) {
        a += *data++;
        b += a;
    }
    return (b % kAdlerBase) << 16 | (a % kAdlerBase);
}

void RollingAdler32::Reset(const uint8_t* data) {
    const uint32_t sum = Adler32(data, window_);
    a_ = sum & 0xFFFF;
    b_ = sum >> 16;
}

uint32_t BlockIndex::BlockLength(uint32_t block) const {
    const uint64_t offset = BlockOffset(block);
    const uint64_t left = fileSize - offset;
    return left < blockSize ? static_cast<uint32_t>(left) : blockSize;
}

bool BlockIndex::StrongMatches(uint32_t block, const std::string& md5) const {
    return md5.size() == 32 &&
           md5.compare(0, strongBytes * 2,
                       Hex(&strong[size_t{block} * strongBytes], strongBytes)) == 0;
}

bool BlockIndex::BlockMatches(uint32_t block, const uint8_t* data) const {
    const uint32_t length = BlockLength(block);
    return Adler32(data, length) == weak[block] && StrongMatches(block, Md5Of(data, length));
}

std::string Md5Of(const uint8_t* data, size_t size) {
    StreamDigest digest;
    digest.Update(data, size);
    return digest.Md5Hex();
}

bool ParseBlockIndex(const std::string& data, BlockIndex* index) {
    if (data.size() < kHeaderBytes || data.size() > kMaxBlockIndexBytes) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(data.data());
    if (std::memcmp(p, kMagic, 4) != 0 || p[4] != kFormat) return false;
    BlockIndex out;
    out.strongBytes = p[5];
    out.blockSize = ReadLe32(p + 8);
    out.fileSize = ReadLe64(p + 12);
    out.md5 = Hex(p + 20, 16);
    if (out.strongBytes < 4 || out.strongBytes > 16 || out.blockSize == 0) return false;
    const uint64_t blocks = out.fileSize / out.blockSize + (out.fileSize % out.blockSize != 0);
    const uint64_t entry = 4 + out.strongBytes;
    if (blocks > (data.size() - kHeaderBytes) / entry) return false;
    if (kHeaderBytes + blocks * entry != data.size()) return false;

    out.weak.resize(blocks);
    out.strong.resize(blocks * out.strongBytes);
    const uint8_t* row = p + kHeaderBytes;
    for (uint64_t i = 0; i < blocks; ++i, row += entry) {
        out.weak[i] = ReadLe32(row);
        std::memcpy(&out.strong[i * out.strongBytes], row + 4, out.strongBytes);
    }
    *index = std::move(out);
    return true;
}
