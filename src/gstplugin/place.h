// Writing a converted tile where a rotation or flip of the picture puts it: its rows reversed,
// or its columns as output rows. Plain copies everywhere, and SIMD shuffles where the processor
// has AVX2 (the test that picks the rows of yuv_rows.h, so that one switch serves both).
// Internal to convert.cpp, which includes it once.
#pragma once

#include <libyuv/cpu_id.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VANTLE_SIMD_PLACE 1
#define VANTLE_PLACE_SIMD [[gnu::target("avx2")]]
#endif

namespace vantle::place {

// A tile: `rows` rows of `columns` pixels, `stride` bytes apart. The SIMD code reads up to 16
// bytes from a pixel on, so the memory after the last row must be readable that far.
struct Tile {
    const std::uint8_t* data;
    int stride;
    int rows;
    int columns;

    const std::uint8_t* at(int row, int column, int bytes) const {
        return data + static_cast<std::ptrdiff_t>(row) * stride + column * bytes;
    }
};

// ---- Plain copies ------------------------------------------------------------------------------

// Copies `count` pixels from src, src + src_step, ... to dst, dst + kBytes, ... Three-byte pixels
// go in 4-byte words (a pixel and the next one's first byte, which that pixel then overwrites),
// so the source must have a readable byte after each pixel.
template <int kBytes>
inline void copy_run(const std::uint8_t* src, std::ptrdiff_t src_step, std::uint8_t* dst, int count) {
    if (count <= 0) return;
    if constexpr (kBytes == 1) {
        for (int i = 0; i < count; ++i) dst[i] = src[i * src_step];
    } else {
        for (int i = 0; i + 1 < count; ++i) {
            std::uint32_t word;
            std::memcpy(&word, src + i * src_step, sizeof word);
            std::memcpy(dst + 3 * i, &word, sizeof word);
        }
        std::memcpy(dst + 3 * (count - 1), src + (count - 1) * src_step, 3);
    }
}

#ifdef VANTLE_SIMD_PLACE
// ---- SIMD --------------------------------------------------------------------------------------

// Byte masks for _mm_shuffle_epi8 (0x80: zero).
struct ShuffleMasks {
    // reverse3[chunk][source]: output chunk `chunk` of 16 pixels reversed, from source chunk
    // `source` of the 48 input bytes.
    alignas(16) std::uint8_t reverse3[3][3][16]{};
    alignas(16) std::uint8_t reverse1[16]{};
    alignas(16) std::uint8_t widen3[16]{};   // 4 pixels of 3 bytes to 4 words
    alignas(16) std::uint8_t narrow3[16]{};  // and back
    constexpr ShuffleMasks() {
        for (int b = 0; b < 48; ++b) {
            const int from = 45 - 3 * (b / 3) + b % 3;  // the byte of pixel 15 - b / 3
            for (int source = 0; source < 3; ++source) {
                reverse3[b / 16][source][b % 16] = from / 16 == source ? static_cast<std::uint8_t>(from % 16) : 0x80;
            }
        }
        for (int i = 0; i < 16; ++i) {
            reverse1[i] = static_cast<std::uint8_t>(15 - i);
            widen3[i] = i % 4 == 3 ? 0x80 : static_cast<std::uint8_t>(i / 4 * 3 + i % 4);
            narrow3[i] = i < 12 ? static_cast<std::uint8_t>(i / 3 * 4 + i % 3) : 0x80;
        }
    }
};
inline constexpr ShuffleMasks kMasks{};

inline __m128i load_mask(const std::uint8_t (&mask)[16]) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
}

inline __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void store16(std::uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

inline void store12(std::uint8_t* p, __m128i v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
    const int last = _mm_cvtsi128_si32(_mm_srli_si128(v, 8));
    std::memcpy(p + 8, &last, sizeof last);
}

// Each row of the tile reversed into out(row), 16 pixels at a time; returns how many pixels of
// each row are left (the first ones of the tile's rows, the last ones of the output's).
template <int kBytes, class Out>
VANTLE_PLACE_SIMD int reverse_rows_simd(const Tile& tile, Out out) {
    const int whole = tile.columns / 16 * 16;
    for (int r = 0; r < tile.rows; ++r) {
        std::uint8_t* dst = out(r);
        for (int i = 0; i < whole; i += 16) {
            // Output pixels [i, i + 16) are tile pixels [columns - 16 - i, columns - i), reversed.
            const std::uint8_t* src = tile.at(r, tile.columns - 16 - i, kBytes);
            if constexpr (kBytes == 1) {
                store16(dst + i, _mm_shuffle_epi8(load16(src), load_mask(kMasks.reverse1)));
            } else {
                const __m128i in[3] = {load16(src), load16(src + 16), load16(src + 32)};
                for (int chunk = 0; chunk < 3; ++chunk) {
                    const auto& masks = kMasks.reverse3[chunk];
                    store16(dst + 3 * i + 16 * chunk,
                            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], load_mask(masks[0])),
                                                      _mm_shuffle_epi8(in[1], load_mask(masks[1]))),
                                         _mm_shuffle_epi8(in[2], load_mask(masks[2]))));
                }
            }
        }
    }
    return tile.columns - whole;
}

// Column c of the tile into the output run from out(c), as its pixels 0, 1, ...: tile rows from
// `first` on, `step` bytes apart (one row up or down). Blocks of 4 (3-byte pixels) or 8 (grey)
// columns and rows are transposed in registers; sets the numbers of columns and rows done so.
template <int kBytes, class Out>
VANTLE_PLACE_SIMD void transpose_simd(const Tile& tile, const std::uint8_t* first, std::ptrdiff_t step, Out out,
                                      int& columns_done, int& rows_done) {
    constexpr int kBlock = kBytes == 1 ? 8 : 4;
    columns_done = tile.columns / kBlock * kBlock;
    rows_done = tile.rows / kBlock * kBlock;
    for (int c = 0; c < columns_done; c += kBlock) {
        std::uint8_t* dst[kBlock];
        for (int k = 0; k < kBlock; ++k) dst[k] = out(c + k);
        const std::uint8_t* src = first + c * kBytes;
        for (int i = 0; i < rows_done; i += kBlock, src += kBlock * step) {
            if constexpr (kBytes == 1) {
                const auto load = [&](int j) {
                    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + j * step));
                };
                const __m128i b0 = _mm_unpacklo_epi8(load(0), load(1)), b1 = _mm_unpacklo_epi8(load(2), load(3));
                const __m128i b2 = _mm_unpacklo_epi8(load(4), load(5)), b3 = _mm_unpacklo_epi8(load(6), load(7));
                const __m128i c0 = _mm_unpacklo_epi16(b0, b1), c1 = _mm_unpackhi_epi16(b0, b1);
                const __m128i c2 = _mm_unpacklo_epi16(b2, b3), c3 = _mm_unpackhi_epi16(b2, b3);
                const __m128i d0 = _mm_unpacklo_epi32(c0, c2), d1 = _mm_unpackhi_epi32(c0, c2);
                const __m128i d2 = _mm_unpacklo_epi32(c1, c3), d3 = _mm_unpackhi_epi32(c1, c3);
                const auto store = [&](int k, __m128i v) {
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst[k] + i), v);
                };
                store(0, d0);
                store(1, _mm_unpackhi_epi64(d0, d0));
                store(2, d1);
                store(3, _mm_unpackhi_epi64(d1, d1));
                store(4, d2);
                store(5, _mm_unpackhi_epi64(d2, d2));
                store(6, d3);
                store(7, _mm_unpackhi_epi64(d3, d3));
            } else {
                const __m128i widen = load_mask(kMasks.widen3), narrow = load_mask(kMasks.narrow3);
                const __m128i a0 = _mm_shuffle_epi8(load16(src), widen);
                const __m128i a1 = _mm_shuffle_epi8(load16(src + step), widen);
                const __m128i a2 = _mm_shuffle_epi8(load16(src + 2 * step), widen);
                const __m128i a3 = _mm_shuffle_epi8(load16(src + 3 * step), widen);
                const __m128i t0 = _mm_unpacklo_epi32(a0, a1), t1 = _mm_unpacklo_epi32(a2, a3);
                const __m128i t2 = _mm_unpackhi_epi32(a0, a1), t3 = _mm_unpackhi_epi32(a2, a3);
                const __m128i p0 = _mm_shuffle_epi8(_mm_unpacklo_epi64(t0, t1), narrow);
                const __m128i p1 = _mm_shuffle_epi8(_mm_unpackhi_epi64(t0, t1), narrow);
                const __m128i p2 = _mm_shuffle_epi8(_mm_unpacklo_epi64(t2, t3), narrow);
                const __m128i p3 = _mm_shuffle_epi8(_mm_unpackhi_epi64(t2, t3), narrow);
                if (3 * i + 16 <= 3 * tile.rows) {  // the last 4 bytes are pixels of the run still to write
                    store16(dst[0] + 3 * i, p0);
                    store16(dst[1] + 3 * i, p1);
                    store16(dst[2] + 3 * i, p2);
                    store16(dst[3] + 3 * i, p3);
                } else {
                    store12(dst[0] + 3 * i, p0);
                    store12(dst[1] + 3 * i, p1);
                    store12(dst[2] + 3 * i, p2);
                    store12(dst[3] + 3 * i, p3);
                }
            }
        }
    }
}
#endif

// Writes the pixels of a tile along the steps of its placement from `dst` (where tile pixel
// (0, 0) goes): pixel (r, c) at dst + c * x_step + r * y_step, where one of the steps is one
// pixel either way. Output runs are written in increasing addresses.
template <int kBytes>
void place_tile(const Tile& tile, std::uint8_t* dst, std::ptrdiff_t x_step, std::ptrdiff_t y_step) {
#ifdef VANTLE_SIMD_PLACE
    const bool simd = libyuv::TestCpuFlag(libyuv::kCpuHasAVX2) != 0;
#else
    constexpr bool simd = false;
#endif
    if (x_step == -kBytes) {  // rows stay rows, reversed: row r from its last pixel on
        const auto out = [&](int r) { return dst + r * y_step - (tile.columns - 1) * kBytes; };
        int left = tile.columns;
#ifdef VANTLE_SIMD_PLACE
        if (simd) left = reverse_rows_simd<kBytes>(tile, out);
#endif
        // The first `left` pixels of each tile row are the last of its output run.
        for (int r = 0; left > 0 && r < tile.rows; ++r) {
            copy_run<kBytes>(tile.at(r, left - 1, kBytes), -kBytes, out(r) + (tile.columns - left) * kBytes, left);
        }
        return;
    }
    // Columns become rows: output pixel i of column c's run is tile row i (downward steps) or
    // rows - 1 - i (upward ones).
    const bool down = y_step > 0;
    const std::uint8_t* first = tile.at(down ? 0 : tile.rows - 1, 0, kBytes);
    const std::ptrdiff_t step = down ? tile.stride : -static_cast<std::ptrdiff_t>(tile.stride);
    const auto out = [&](int c) { return dst + c * x_step + (down ? 0 : (tile.rows - 1) * y_step); };
    int columns_done = 0, rows_done = 0;
#ifdef VANTLE_SIMD_PLACE
    if (simd) transpose_simd<kBytes>(tile, first, step, out, columns_done, rows_done);
#endif
    for (int c = 0; c < tile.columns; ++c) {
        const int from = c < columns_done ? rows_done : 0;  // the rows the blocks left
        if (from < tile.rows)
            copy_run<kBytes>(first + from * step + c * kBytes, step, out(c) + from * kBytes, tile.rows - from);
    }
}

}  // namespace vantle::place
