// The AVX-512 instantiation of the literal kernels. This file alone is compiled with AVX-512
// enabled, and is only called after avx512KernelsUsable() said yes.
#include <immintrin.h>

#include "control/JsonLiteralKernels.h"

namespace halvern::json_detail {
namespace {

struct Avx512Classify {
    static BlockMasks classify(const char* p) {
        const __m512i v = _mm512_loadu_si512(p);
        std::uint64_t quotes = _cvtmask64_u64(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')));
        std::uint64_t backslashes =
            _cvtmask64_u64(_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\')));
        keepInRegister(quotes);
        keepInRegister(backslashes);
        return {quotes, backslashes};
    }

    // Pins a mask to a general register: left alone, GCC does the escape arithmetic in mask
    // registers, where every step costs a slow move.
    static void keepInRegister(std::uint64_t& bits) { asm("" : "+r"(bits)); }
};

// Packs the kept bytes of a block with no branches: each 16-byte quarter is widened to 32-bit
// lanes, compressed by its 16 mask bits and narrowed back.
struct Avx512Compact {
    static char* compact(const char* in, std::uint64_t keep, char* out) {
        for (int quarter = 0; quarter < 4; ++quarter) {
            const auto bits = static_cast<__mmask16>(keep >> (16 * quarter));
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            const __m512i packed = _mm512_maskz_compress_epi32(bits, _mm512_cvtepu8_epi32(bytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(packed));
            out += _mm_popcnt_u32(bits);
            in += 16;
        }
        return out;
    }
};

}  // namespace

bool avx512KernelsUsable() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

BlockScanStop scanBlocksAvx512(const char* data, std::size_t size, std::size_t p) {
    return scanBlocks<Avx512Classify>(data, size, p);
}

void decodeBlocksAvx512(const char** in, const char* end, char** out) {
    decodeBlocks<Avx512Classify, Avx512Compact>(*in, end, *out);
}

}  // namespace halvern::json_detail
