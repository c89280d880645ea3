// Rows of YUV samples to packed BGR, packed RGB or grey in 16-bit fixed point: a portable version
// and one with AVX2 intrinsics that writes the same bytes. Internal to convert.cpp, which
// includes it once.
//
// Every sample is first put in the top bits of a 16-bit word (an 8-bit sample times 256, a
// 10-bit one times 64, ...), so that one set of coefficients serves every depth. Channels are
// then computed in units of 1/64 of an output level:
//   luma  = mulhi(y, y_gain) + y_bias                  (y_bias: the black level and half a level)
//   blue  = luma +sat mulhrs(cb, ub)
//   green = luma +sat (mulhrs(cb, ug) + mulhrs(cr, vg))  (ug, vg negative)
//   red   = luma +sat mulhrs(cr, vr)
//   level = clamp(channel >> 6, 0, 255)
// where cb and cr are the chroma words minus 32768 (signed), mulhi(a, b) = a * b >> 16 unsigned
// and mulhrs(a, b) = (a * b + 2^14) >> 15 signed: the vpmulhuw and vpmulhrsw instructions.
// Each product is within one unit of its exact value (half a unit from rounding the
// coefficient, half from the product's own rounding), so a channel is within about 4/64 of a
// level before the final rounding: every output level is within 0.6 of the exact
// floating-point conversion. The widest sums (luma up to 280 levels plus up to 275 levels of
// chroma, of either sign) leave the signed 16-bit range ([-512, 512) levels) only where the
// level is clamped to 0 or 255 anyway, so saturating adds clamp correctly. Grey output is the
// luma alone: the same words without the chroma terms.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "convert.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VANTLE_AVX2_ROWS 1
// Built for AVX2 whatever the build's baseline, and run only after a check of the processor.
#define VANTLE_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline
#define VANTLE_AVX2_ENTRY [[gnu::target("avx2")]]
#endif

namespace vantle::yuv {

// The coefficients of one matrix, range and sample format (see above).
struct Coefficients {
    std::uint16_t y_gain = 0;
    std::int16_t y_bias = 0;
    std::int16_t ub = 0;
    std::int16_t ug = 0;
    std::int16_t vg = 0;
    std::int16_t vr = 0;
    int word_shift = 0;  // left shift that puts the sample of a 16-bit word in its top bits (bits above drop out)
};

// The samples of one row: the rows of the luma and chroma planes (interleaved chroma: `u`;
// packed 4:2:2: `y` only).
struct Row {
    const std::uint8_t* y = nullptr;
    const std::uint8_t* u = nullptr;
    const std::uint8_t* v = nullptr;
};

// Converts `width` pixels of `row` to the output's bytes at `dst`.
using RowFunction = void (*)(const Row& row, int width, const Coefficients& k, std::uint8_t* dst);

// Sample `index` of a row of bytes or of 16-bit little-endian words, in the top bits of a word.
template <int kBytes>
inline std::uint16_t top_bits(const std::uint8_t* row, int index, int word_shift) {
    if constexpr (kBytes == 1) {
        return static_cast<std::uint16_t>(row[index] << 8);
    } else {
        std::uint16_t word;
        std::memcpy(&word, row + 2 * index, sizeof word);
        return static_cast<std::uint16_t>(word << word_shift);
    }
}

// ---- Portable building blocks ----------------------------------------------------------------
// The portable rows take a piece of a row at a time through scratch that stays in the L1 cache,
// in loops that compilers vectorise (SSE2, NEON): the samples of each pixel in the top bits of
// words, then the three levels, then the interleaved bytes.

constexpr int kPortablePiece = 256;  // pixels; even, so that pieces start on a chroma sample

struct Words {
    std::uint16_t y[kPortablePiece], u[kPortablePiece], v[kPortablePiece];
};

// Samples first, first + step, ... (n of them) of a row, each written `kRepeat` times to `out`.
template <int kBytes, int kRepeat>
void unpack(const std::uint8_t* row, int first, int step, int n, int word_shift, std::uint16_t* out) {
    for (int i = 0; i < n; ++i) {
        const std::uint16_t sample = top_bits<kBytes>(row, first + i * step, word_shift);
        for (int r = 0; r < kRepeat; ++r) out[kRepeat * i + r] = sample;
    }
}

// The three levels of each of n pixels. The same words as the AVX2 rows, from operations that
// SSE2 and NEON have, so that compilers vectorise the loop: mulhrs from the high and low halves
// of the product, and the saturating adds replaced by an offset. Luma lies in [-19, 280] levels
// and a chroma term within 275 levels of 0, so a sum lies in [-294, 555] levels: offset by 320
// levels it never wraps as an unsigned word, and (sum >> 6) - 320, clamped, is the level that
// saturating, shifting and packing gives.
template <bool kGrey>
void portable_levels(const Words& w, int n, const Coefficients& k, std::uint8_t (&levels)[3][kPortablePiece]) {
    constexpr int kOffset = 320;
    // (a * b + 2^14) >> 15 = 2 * (a * b >> 16) + (((a * b mod 2^16) >> 14) + 1) >> 1
    const auto mulhrs = [](std::int16_t a, std::int16_t b) {
        const auto high = static_cast<std::int16_t>((static_cast<std::int32_t>(a) * b) >> 16);
        const auto low = static_cast<std::uint16_t>(a * b);
        return static_cast<std::int16_t>(2 * high + (((low >> 14) + 1) >> 1));
    };
    const auto level = [](std::uint16_t offset_sum) {
        const auto value = static_cast<std::int16_t>((offset_sum >> 6) - kOffset);
        return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    };
    const std::uint16_t gain = k.y_gain;
    const auto bias = static_cast<std::uint16_t>(k.y_bias + kOffset * 64);
    const std::int16_t ub = k.ub, ug = k.ug, vg = k.vg, vr = k.vr;
    for (int i = 0; i < n; ++i) {
        const auto luma = static_cast<std::uint16_t>(((static_cast<std::uint32_t>(w.y[i]) * gain) >> 16) + bias);
        if constexpr (kGrey) {
            levels[0][i] = level(luma);
        } else {
            const auto cb = static_cast<std::int16_t>(w.u[i] ^ 0x8000), cr = static_cast<std::int16_t>(w.v[i] ^ 0x8000);
            levels[0][i] = level(static_cast<std::uint16_t>(luma + mulhrs(cb, ub)));
            levels[1][i] = level(static_cast<std::uint16_t>(luma + mulhrs(cb, ug) + mulhrs(cr, vg)));
            levels[2][i] = level(static_cast<std::uint16_t>(luma + mulhrs(cr, vr)));
        }
    }
}

#ifdef VANTLE_AVX2_ROWS
// ---- AVX2 building blocks ---------------------------------------------------------------------
// A block is 32 pixels. Its luma and chroma terms are held as two vectors of 16 words in the
// order that packing to bytes wants: pixels 0-7 | 16-23 in the first, 8-15 | 24-31 in the
// second (the halves of each are the 128-bit lanes, which most AVX2 shuffles keep apart).

// The coefficients in every lane.
struct Vectors {
    __m256i y_gain, y_bias, ub, ug, vg, vr, sign;
    __m256i pair_br, pair_g;  // for chroma pairs: (ub, vr) and (ug, vg) in the order of the pair's samples
    __m128i shift;
};

// Two words as the halves of a 32-bit lane.
inline int word_pair(std::int16_t low, std::int16_t high) {
    return static_cast<int>(static_cast<std::uint16_t>(low) |
                            static_cast<std::uint32_t>(static_cast<std::uint16_t>(high)) << 16);
}

template <bool kVFirst>
VANTLE_AVX2 Vectors vectors_of(const Coefficients& k) {
    return {_mm256_set1_epi16(static_cast<short>(k.y_gain)),
            _mm256_set1_epi16(k.y_bias),
            _mm256_set1_epi16(k.ub),
            _mm256_set1_epi16(k.ug),
            _mm256_set1_epi16(k.vg),
            _mm256_set1_epi16(k.vr),
            _mm256_set1_epi16(static_cast<short>(0x8000)),
            _mm256_set1_epi32(kVFirst ? word_pair(k.vr, k.ub) : word_pair(k.ub, k.vr)),
            _mm256_set1_epi32(kVFirst ? word_pair(k.vg, k.ug) : word_pair(k.ug, k.vg)),
            _mm_cvtsi32_si128(k.word_shift)};
}

struct Halves {
    __m256i a, b;
};

// The chroma terms of blue, green and red.
struct Terms {
    Halves b, g, r;
};

VANTLE_AVX2 __m256i load_lanes(const std::uint8_t* low, const std::uint8_t* high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// The 32 samples of a block from `p` (bytes or words), in the top bits of words, as halves.
template <int kBytes>
VANTLE_AVX2 Halves load_halves(const std::uint8_t* p, const Vectors& v) {
    if constexpr (kBytes == 1) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i zero = _mm256_setzero_si256();
        return {_mm256_unpacklo_epi8(zero, bytes), _mm256_unpackhi_epi8(zero, bytes)};
    } else {
        return {_mm256_sll_epi16(load_lanes(p, p + 32), v.shift),
                _mm256_sll_epi16(load_lanes(p + 16, p + 48), v.shift)};
    }
}

// 16 consecutive samples from `p`, in the top bits of words, in order.
template <int kBytes>
VANTLE_AVX2 __m256i load_in_order(const std::uint8_t* p, const Vectors& v) {
    if constexpr (kBytes == 1) {
        return _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), 8);
    } else {
        return _mm256_sll_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), v.shift);
    }
}

// Blue, green and red terms of chroma words, one (cb, cr) per lane of the two inputs.
VANTLE_AVX2 void planar_terms(__m256i u, __m256i w, const Vectors& v, __m256i& b, __m256i& g, __m256i& r) {
    const __m256i cb = _mm256_xor_si256(u, v.sign);
    const __m256i cr = _mm256_xor_si256(w, v.sign);
    b = _mm256_mulhrs_epi16(cb, v.ub);
    g = _mm256_add_epi16(_mm256_mulhrs_epi16(cb, v.ug), _mm256_mulhrs_epi16(cr, v.vg));
    r = _mm256_mulhrs_epi16(cr, v.vr);
}

// Terms of chroma pairs (one pair of words per two pixels): each product lands in the word of
// its sample and is then copied to both words of the pair.
template <bool kVFirst>
VANTLE_AVX2 void pair_terms(__m256i pairs, const Vectors& v, __m256i& b, __m256i& g, __m256i& r) {
    const __m256i low = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13,  //
                                         0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13);
    const __m256i high = _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15,  //
                                          2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15);
    const __m256i swapped = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,  //
                                             2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    const __m256i c = _mm256_xor_si256(pairs, v.sign);
    const __m256i br = _mm256_mulhrs_epi16(c, v.pair_br);
    const __m256i gg = _mm256_mulhrs_epi16(c, v.pair_g);
    b = _mm256_shuffle_epi8(br, kVFirst ? high : low);
    r = _mm256_shuffle_epi8(br, kVFirst ? low : high);
    g = _mm256_add_epi16(gg, _mm256_shuffle_epi8(gg, swapped));
}

template <bool kVFirst>
VANTLE_AVX2 Terms pair_terms(const Halves& pairs, const Vectors& v) {
    Terms t;
    pair_terms<kVFirst>(pairs.a, v, t.b.a, t.g.a, t.r.a);
    pair_terms<kVFirst>(pairs.b, v, t.b.b, t.g.b, t.r.b);
    return t;
}

// Interleaving the 16 pixels of a lane into 48 bytes B, G, R, B, ...: byte i of output chunk c
// (16 bytes) is channel (c + i) % 3, since 16 = 1 (mod 3). Each channel is first permuted so
// that its byte i is the one that belongs at byte i of the chunk where the channel takes that
// place; each chunk is then two byte blends of the three permuted channels.
struct InterleaveMasks {
    // The same in both lanes.
    alignas(32) std::uint8_t permute[3][32]{};  // [channel]: the pixel whose value goes to byte i
    alignas(32) std::uint8_t place[3][32]{};    // [r]: 0xff at the bytes i with i % 3 == r
    alignas(32) std::uint8_t grey[3][32]{};     // [chunk]: the pixel of byte i when all channels are equal
    constexpr InterleaveMasks() {
        for (int i = 0; i < 32; ++i) {
            const int at = i % 16;
            for (int n = 0; n < 3; ++n) {
                const int chunk = (n - at % 3 + 3) % 3;  // where channel n takes byte `at`
                permute[n][i] = static_cast<std::uint8_t>((16 * chunk + at) / 3);
                place[n][i] = at % 3 == n ? 0xff : 0;
                grey[n][i] = static_cast<std::uint8_t>((16 * n + at) / 3);
            }
        }
    }
};
inline constexpr InterleaveMasks kInterleave{};

VANTLE_AVX2 __m256i load_mask(const std::uint8_t (&mask)[32]) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(mask));
}

// Writes chunks 0, 1, 2 of the low lane then of the high lane: 96 bytes in memory order.
VANTLE_AVX2 void store_chunks(std::uint8_t* dst, __m256i chunk0, __m256i chunk1, __m256i chunk2) {
    auto* out = reinterpret_cast<__m256i*>(dst);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(chunk0, chunk1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_blend_epi32(chunk2, chunk0, 0xf0));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(chunk1, chunk2, 0x31));
}

// Writes the 96 bytes of a block whose channels hold pixels 0-15 in the low lane and 16-31 in
// the high one, in memory order (RGB output passes red first).
VANTLE_AVX2 void store_bgr(std::uint8_t* dst, __m256i b, __m256i g, __m256i r) {
    b = _mm256_shuffle_epi8(b, load_mask(kInterleave.permute[0]));
    g = _mm256_shuffle_epi8(g, load_mask(kInterleave.permute[1]));
    r = _mm256_shuffle_epi8(r, load_mask(kInterleave.permute[2]));
    const __m256i at0 = load_mask(kInterleave.place[0]);
    const __m256i at1 = load_mask(kInterleave.place[1]);
    const __m256i at2 = load_mask(kInterleave.place[2]);
    // Chunk c holds channel (c + i % 3) % 3 at byte i.
    store_chunks(dst, _mm256_blendv_epi8(_mm256_blendv_epi8(b, g, at1), r, at2),
                 _mm256_blendv_epi8(_mm256_blendv_epi8(b, g, at0), r, at1),
                 _mm256_blendv_epi8(_mm256_blendv_epi8(b, g, at2), r, at0));
}

VANTLE_AVX2 void store_grey(std::uint8_t* dst, __m256i l) {
    store_chunks(dst, _mm256_shuffle_epi8(l, load_mask(kInterleave.grey[0])),
                 _mm256_shuffle_epi8(l, load_mask(kInterleave.grey[1])),
                 _mm256_shuffle_epi8(l, load_mask(kInterleave.grey[2])));
}

// Channel words of the two halves to the 32 levels of a block, in pixel order within lanes.
VANTLE_AVX2 __m256i levels(__m256i a, __m256i b) {
    return _mm256_packus_epi16(_mm256_srai_epi16(a, 6), _mm256_srai_epi16(b, 6));
}
#endif

// ---- Row layouts ------------------------------------------------------------------------------
// Each gives the samples of the n pixels from x (x even) as words (portable version) and, for
// AVX2, the luma words and the chroma terms of the block of 32 pixels from x.

// Luma in a plane of its own: every layout but packed 4:2:2.
template <int kBytes>
struct LumaPlane {
    static constexpr bool kGrey = false;
    static constexpr bool kVFirst = false;

    static void unpack_words(const Row& row, int x, int n, int shift, Words& w) {  // luma only
        unpack<kBytes, 1>(row.y, x, 1, n, shift, w.y);
    }
#ifdef VANTLE_AVX2_ROWS
    VANTLE_AVX2 static Halves luma(const Row& row, int x, const Vectors& v) {
        return load_halves<kBytes>(row.y + kBytes * x, v);
    }
#endif
};

// Planar chroma, at full or half horizontal resolution.
template <int kBytes, int kSubX>
struct Planar : LumaPlane<kBytes> {
    static void unpack_words(const Row& row, int x, int n, int shift, Words& w) {
        LumaPlane<kBytes>::unpack_words(row, x, n, shift, w);
        unpack<kBytes, 1 << kSubX>(row.u, x >> kSubX, 1, (n + kSubX) >> kSubX, shift, w.u);
        unpack<kBytes, 1 << kSubX>(row.v, x >> kSubX, 1, (n + kSubX) >> kSubX, shift, w.v);
    }
#ifdef VANTLE_AVX2_ROWS
    VANTLE_AVX2 static Terms terms(const Row& row, int x, const Vectors& v) {
        Terms t;
        if constexpr (kSubX == 0) {
            const Halves u = load_halves<kBytes>(row.u + kBytes * x, v);
            const Halves w = load_halves<kBytes>(row.v + kBytes * x, v);
            planar_terms(u.a, w.a, v, t.b.a, t.g.a, t.r.a);
            planar_terms(u.b, w.b, v, t.b.b, t.g.b, t.r.b);
        } else {
            // 16 chroma samples for 32 pixels: terms computed once, then each doubled. Unpacking
            // within lanes puts samples 0-3 | 8-11 in the first half and 4-7 | 12-15 in the second.
            __m256i b, g, r;
            planar_terms(load_in_order<kBytes>(row.u + kBytes * (x >> 1), v),
                         load_in_order<kBytes>(row.v + kBytes * (x >> 1), v), v, b, g, r);
            t.b = {_mm256_unpacklo_epi16(b, b), _mm256_unpackhi_epi16(b, b)};
            t.g = {_mm256_unpacklo_epi16(g, g), _mm256_unpackhi_epi16(g, g)};
            t.r = {_mm256_unpacklo_epi16(r, r), _mm256_unpackhi_epi16(r, r)};
        }
        return t;
    }
#endif
};

// Interleaved chroma pairs at half horizontal resolution (NV12, NV16, P010 ...; NV21 has V first).
template <int kBytes, bool kVFirstPairs>
struct Pairs : LumaPlane<kBytes> {
    static constexpr bool kVFirst = kVFirstPairs;

    static void unpack_words(const Row& row, int x, int n, int shift, Words& w) {
        LumaPlane<kBytes>::unpack_words(row, x, n, shift, w);
        unpack<kBytes, 2>(row.u, x + (kVFirst ? 1 : 0), 2, (n + 1) / 2, shift, w.u);  // pairs from sample x
        unpack<kBytes, 2>(row.u, x + (kVFirst ? 0 : 1), 2, (n + 1) / 2, shift, w.v);
    }
#ifdef VANTLE_AVX2_ROWS
    VANTLE_AVX2 static Terms terms(const Row& row, int x, const Vectors& v) {
        // A pair of samples per two pixels: as many chroma samples as pixels.
        return pair_terms<kVFirst>(load_halves<kBytes>(row.u + kBytes * x, v), v);
    }
#endif
};

// Packed 8-bit 4:2:2: Y0 U Y1 V (YUY2) or U Y0 V Y1 (UYVY).
template <bool kLumaFirst>
struct Packed {
    static constexpr bool kGrey = false;
    static constexpr bool kVFirst = false;

    static void unpack_words(const Row& row, int x, int n, int, Words& w) {
        const int luma = kLumaFirst ? 0 : 1, chroma = kLumaFirst ? 1 : 0;
        unpack<1, 1>(row.y, 2 * x + luma, 2, n, 0, w.y);
        unpack<1, 2>(row.y, 2 * x + chroma, 4, (n + 1) / 2, 0, w.u);
        unpack<1, 2>(row.y, 2 * x + chroma + 2, 4, (n + 1) / 2, 0, w.v);
    }
#ifdef VANTLE_AVX2_ROWS
    // As words, each pixel is one byte of luma and one of U or V: keeping the top byte of each
    // word or shifting the low one up gives the luma words or the chroma pairs.
    VANTLE_AVX2 static Halves words(const Row& row, int x) {
        const std::uint8_t* p = row.y + 2 * x;
        return {load_lanes(p, p + 32), load_lanes(p + 16, p + 48)};
    }
    VANTLE_AVX2 static __m256i top(__m256i words, bool low_byte) {
        return low_byte ? _mm256_slli_epi16(words, 8)
                        : _mm256_and_si256(words, _mm256_set1_epi16(static_cast<short>(0xff00)));
    }
    VANTLE_AVX2 static Halves luma(const Row& row, int x, const Vectors&) {
        const Halves w = words(row, x);
        return {top(w.a, kLumaFirst), top(w.b, kLumaFirst)};
    }
    VANTLE_AVX2 static Terms terms(const Row& row, int x, const Vectors& v) {
        const Halves w = words(row, x);
        return pair_terms<false>({top(w.a, !kLumaFirst), top(w.b, !kLumaFirst)}, v);
    }
#endif
};

template <int kBytes>
struct Grey : LumaPlane<kBytes> {
    static constexpr bool kGrey = true;
};

// The luma of packed 4:2:2 alone, for grey output.
template <bool kLumaFirst>
struct PackedLuma : Packed<kLumaFirst> {
    static constexpr bool kGrey = true;

    static void unpack_words(const Row& row, int x, int n, int, Words& w) {
        unpack<1, 1>(row.y, 2 * x + (kLumaFirst ? 0 : 1), 2, n, 0, w.y);
    }
};

// ---- Rows -------------------------------------------------------------------------------------

// Pixels [from, width) of a row; `from` even. Grey output is only asked of luma layouts.
template <class Layout, OutputFormat kOut>
void portable_pixels(const Row& row, int from, int width, const Coefficients& k, std::uint8_t* dst) {
    static_assert(kOut != OutputFormat::Gray || Layout::kGrey);
    Words words;
    std::uint8_t levels[3][kPortablePiece];
    // levels[] holds blue, green, red (or the luma alone in [0]).
    constexpr int kGreen = Layout::kGrey ? 0 : 1, kRed = Layout::kGrey ? 0 : 2;
    constexpr int kFirst = kOut == OutputFormat::RGB ? kRed : 0, kThird = kOut == OutputFormat::RGB ? 0 : kRed;
    for (int x = from; x < width; x += kPortablePiece) {
        const int n = std::min(kPortablePiece, width - x);
        Layout::unpack_words(row, x, n, k.word_shift, words);
        portable_levels<Layout::kGrey>(words, n, k, levels);
        if constexpr (kOut == OutputFormat::Gray) {
            std::memcpy(dst + x, levels[0], static_cast<std::size_t>(n));
        } else {
            std::uint8_t* out = dst + 3 * x;
            for (int i = 0; i < n; ++i) {
                out[3 * i] = levels[kFirst][i];
                out[3 * i + 1] = levels[kGreen][i];
                out[3 * i + 2] = levels[kThird][i];
            }
        }
    }
}

template <class Layout, OutputFormat kOut>
void portable_row(const Row& row, int width, const Coefficients& k, std::uint8_t* dst) {
    portable_pixels<Layout, kOut>(row, 0, width, k, dst);
}

#ifdef VANTLE_AVX2_ROWS
template <class Layout, OutputFormat kOut>
VANTLE_AVX2_ENTRY void avx2_row(const Row& samples, int width, const Coefficients& k, std::uint8_t* dst) {
    static_assert(kOut != OutputFormat::Gray || Layout::kGrey);
    const Vectors v = vectors_of<Layout::kVFirst>(k);
    const Row row = samples;  // a copy that the stores to dst cannot change: pointers stay in registers
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const Halves y = Layout::luma(row, x, v);
        const __m256i la = _mm256_add_epi16(_mm256_mulhi_epu16(y.a, v.y_gain), v.y_bias);
        const __m256i lb = _mm256_add_epi16(_mm256_mulhi_epu16(y.b, v.y_gain), v.y_bias);
        if constexpr (kOut == OutputFormat::Gray) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), levels(la, lb));
        } else if constexpr (Layout::kGrey) {
            store_grey(dst + 3 * x, levels(la, lb));
        } else {
            const Terms t = Layout::terms(row, x, v);
            const __m256i blue = levels(_mm256_adds_epi16(la, t.b.a), _mm256_adds_epi16(lb, t.b.b));
            const __m256i green = levels(_mm256_adds_epi16(la, t.g.a), _mm256_adds_epi16(lb, t.g.b));
            const __m256i red = levels(_mm256_adds_epi16(la, t.r.a), _mm256_adds_epi16(lb, t.r.b));
            if constexpr (kOut == OutputFormat::RGB) {
                store_bgr(dst + 3 * x, red, green, blue);
            } else {
                store_bgr(dst + 3 * x, blue, green, red);
            }
        }
    }
    portable_pixels<Layout, kOut>(row, x, width, k, dst);  // the pixels after the last whole block
}
#endif

}  // namespace vantle::yuv
