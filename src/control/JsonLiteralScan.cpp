#include "control/JsonLiteralScan.h"

#include <bit>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HALVERN_HAVE_SSE2 1
#endif

namespace halvern::json_detail {
namespace {

constexpr std::size_t kNpos = std::string_view::npos;
constexpr std::size_t kBlock = 64;

struct BlockMasks {
    std::uint64_t quotes;
    std::uint64_t backslashes;
};

// One bit per byte of the 64 bytes at `p`.
BlockMasks classifyBlock(const char* p) {
#ifdef HALVERN_HAVE_SSE2
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    BlockMasks masks{0, 0};
    for (unsigned i = 0; i < 4; ++i) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + std::size_t{16} * i));
        const auto q = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
        const auto b = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)));
        masks.quotes |= static_cast<std::uint64_t>(q) << (16 * i);
        masks.backslashes |= static_cast<std::uint64_t>(b) << (16 * i);
    }
    return masks;
#else
    BlockMasks masks{0, 0};
    for (unsigned i = 0; i < kBlock; ++i) {
        masks.quotes |= static_cast<std::uint64_t>(p[i] == '"') << i;
        masks.backslashes |= static_cast<std::uint64_t>(p[i] == '\\') << i;
    }
    return masks;
#endif
}

// Bits of the bytes that an odd run of backslashes escapes, for a block that starts outside any
// escape. `carry` is set when the block's last byte is a backslash that escapes the next block's
// first byte.
std::uint64_t escapedBytes(std::uint64_t backslashes, bool& carry) {
    constexpr std::uint64_t evenBits = 0x5555555555555555ULL;
    const std::uint64_t followsEscape = backslashes << 1;
    const std::uint64_t oddSequenceStarts = backslashes & ~evenBits & ~followsEscape;
    const std::uint64_t sum = oddSequenceStarts + backslashes;
    carry = sum < oddSequenceStarts;
    const std::uint64_t invert = sum << 1;
    return (evenBits ^ invert) & followsEscape;
}

// Steps over one byte or one whole escape at `p` (inside the literal). Returns false when the
// literal is malformed or the text ends; sets `closed` when the byte was the closing quote.
bool stepLiteral(std::string_view text, std::size_t& p, bool& hasEscape, bool& closed) {
    const std::size_t n = text.size();
    const char c = text[p++];
    if (c == '"') {
        closed = true;
        return true;
    }
    if (c == '\\') {
        hasEscape = true;
        if (p == n) {
            return false;
        }
        const char escape = text[p++];
        if (escape == 'u') {
            if (n - p < 4) {
                return false;
            }
            p += 4;
        } else if (decodeEscape(escape) == '\0') {
            return false;
        }
    }
    return p != n;
}

}  // namespace

char decodeEscape(char escape) {
    switch (escape) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '/':
            return '/';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'u':
            return '?';
        default:
            return '\0';
    }
}

std::size_t scanStringLiteralBytewise(std::string_view text, std::size_t open, bool& hasEscape) {
    hasEscape = false;
    if (open >= text.size() || text[open] != '"') {
        return kNpos;
    }
    std::size_t p = open + 1;
    if (p == text.size()) {
        return kNpos;
    }
    bool closed = false;
    while (stepLiteral(text, p, hasEscape, closed)) {
        if (closed) {
            return p;
        }
    }
    return closed ? p : kNpos;
}

std::size_t scanStringLiteral(std::string_view text, std::size_t open, bool& hasEscape) {
    hasEscape = false;
    const std::size_t n = text.size();
    if (open >= n || text[open] != '"') {
        return kNpos;
    }
    std::size_t p = open + 1;
    if (p == n) {
        return kNpos;
    }
    bool closed = false;
    // Invariant: p is inside the text and not in the middle of an escape.
    while (n - p >= kBlock) {
        const BlockMasks masks = classifyBlock(text.data() + p);
        if (masks.backslashes == 0) {
            if (masks.quotes != 0) {
                return p + static_cast<std::size_t>(std::countr_zero(masks.quotes)) + 1;
            }
            p += kBlock;
            continue;
        }
        bool carry = false;
        const std::uint64_t escaped = escapedBytes(masks.backslashes, carry);
        const std::uint64_t closing = masks.quotes & ~escaped;
        const std::uint64_t beforeClose = closing != 0 ? (closing & (0 - closing)) - 1 : ~0ULL;
        hasEscape = hasEscape || (masks.backslashes & beforeClose) != 0;
        // Escaped quotes and backslashes are valid; anything else escaped (\n, \u, \q...) takes
        // the careful path for this block.
        if ((escaped & beforeClose & ~masks.quotes & ~masks.backslashes) != 0) {
            const std::size_t blockEnd = p + kBlock;
            while (p < blockEnd) {
                if (!stepLiteral(text, p, hasEscape, closed)) {
                    return closed ? p : kNpos;
                }
                if (closed) {
                    return p;
                }
            }
            continue;
        }
        if (closing != 0) {
            return p + static_cast<std::size_t>(std::countr_zero(closing)) + 1;
        }
        // A trailing escaping backslash starts the next block, so that block starts clean.
        p += carry ? kBlock - 1 : kBlock;
    }
    while (stepLiteral(text, p, hasEscape, closed)) {
        if (closed) {
            return p;
        }
    }
    return closed ? p : kNpos;
}

}  // namespace halvern::json_detail
