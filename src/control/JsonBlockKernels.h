#pragma once

// Block-at-a-time kernels for JSON string literals, written once and instantiated per instruction
// set. Everything here has internal linkage and uses no library templates: one instantiation
// lives in a translation unit compiled for AVX-512, and nothing it emits may be shared with code
// that runs on processors without it.

#include <cstddef>
#include <cstdint>

#ifdef _MSC_VER
#include <intrin.h>
#endif

namespace halvern::json_detail {

inline constexpr std::size_t kBlock = 64;
// Decoding keeps this many body bytes after a block, so that 16-byte moves never read past it.
inline constexpr std::size_t kDecodeLookahead = 16;

// One bit per byte of a 64-byte block.
struct BlockMasks {
    std::uint64_t quotes;
    std::uint64_t backslashes;
};

// Where a run of block scanning stopped: after the closing quote (`closed`), or at the start of
// a block that needs the byte-by-byte rules, or where fewer than 64 bytes remain.
struct BlockScanStop {
    std::size_t position;
    bool closed;
    bool sawEscape;
};

namespace {  // NOLINT(cert-dcl59-cpp,google-build-namespaces): internal linkage is the point

inline unsigned lowestBit(std::uint64_t bits) {
#ifdef _MSC_VER
    unsigned long index = 0;
    _BitScanForward64(&index, bits);
    return static_cast<unsigned>(index);
#else
    return static_cast<unsigned>(__builtin_ctzll(bits));
#endif
}

inline unsigned leadingOnes(std::uint64_t bits) {
#ifdef _MSC_VER
    unsigned long index = 0;
    return _BitScanReverse64(&index, ~bits) ? 63U - static_cast<unsigned>(index) : 64U;
#else
    return ~bits == 0 ? 64U : static_cast<unsigned>(__builtin_clzll(~bits));
#endif
}

// Bits of the bytes that an odd run of backslashes escapes. `carry` says on entry whether the
// block's first byte is escaped by the previous block's last backslash, and on return whether
// this block's last byte escapes the next block's first.
//
// The carry out depends only on the length of the backslash run that ends the block, and on the
// carry in only when the whole block is backslashes. Taking that rare case by a branch keeps the
// blocks free of a chain of dependent arithmetic, so they overlap in the processor.
inline std::uint64_t escapedBytes(std::uint64_t backslashes, std::uint64_t& carry) {
    constexpr std::uint64_t evenBits = 0x5555555555555555ULL;
    const std::uint64_t carriedIn = carry;
    if (backslashes != ~0ULL) {
        carry = leadingOnes(backslashes) & 1U;
    }
    backslashes &= ~carriedIn;
    const std::uint64_t followsEscape = (backslashes << 1) | carriedIn;
    const std::uint64_t oddSequenceStarts = backslashes & ~evenBits & ~followsEscape;
    const std::uint64_t sum = oddSequenceStarts + backslashes;
    const std::uint64_t invert = sum << 1;
    return (evenBits ^ invert) & followsEscape;
}

// Skips whole blocks of a literal's body from `p` (outside any escape). Escaped quotes and
// backslashes are handled here; any other escape (\n, \u, an invalid one) stops the run at its
// block, which the caller then takes byte by byte from a position outside any escape.
template <class Classify>
BlockScanStop scanBlocks(const char* data, std::size_t size, std::size_t p) {
    bool sawEscape = false;
    std::uint64_t carry = 0;
    while (size - p >= kBlock) {
        const BlockMasks masks = Classify::classify(data + p);
        if ((masks.backslashes | carry) == 0) {
            if (masks.quotes != 0) {
                return {p + lowestBit(masks.quotes) + 1, true, sawEscape};
            }
            p += kBlock;
            continue;
        }
        const std::uint64_t carriedIn = carry;
        const std::uint64_t escaped = escapedBytes(masks.backslashes, carry);
        const std::uint64_t closing = masks.quotes & ~escaped;
        const std::uint64_t beforeClose = closing != 0 ? (closing & (0 - closing)) - 1 : ~0ULL;
        if ((escaped & beforeClose & ~masks.quotes & ~masks.backslashes) != 0) {
            return {p - carriedIn, false, sawEscape};
        }
        sawEscape = sawEscape || (masks.backslashes & beforeClose) != 0;
        if (closing != 0) {
            return {p + lowestBit(closing) + 1, true, sawEscape};
        }
        p += kBlock;
    }
    return {p - carry, false, sawEscape};
}

// Decodes whole blocks of a valid body whose only escapes are \" and \\: dropping each escaping
// backslash leaves the decoded bytes. Stops at a block with any other escape, or where fewer
// than kBlock + kDecodeLookahead bytes remain, always outside any escape. `out` needs 16 bytes of
// room past the output.
template <class Classify, class Compact>
void decodeBlocks(const char*& in, const char* end, char*& out) {
    std::uint64_t carry = 0;
    while (static_cast<std::size_t>(end - in) >= kBlock + kDecodeLookahead) {
        const BlockMasks masks = Classify::classify(in);
        const std::uint64_t carriedIn = carry;
        const std::uint64_t escaped =
            (masks.backslashes | carry) == 0 ? 0 : escapedBytes(masks.backslashes, carry);
        if ((escaped & ~masks.quotes & ~masks.backslashes) != 0) {
            // The escaping backslash of a carried escape was already dropped; restart on it.
            in -= carriedIn;
            return;
        }
        out = Compact::compact(in, ~(masks.backslashes & ~escaped), out);
        in += kBlock;
    }
    in -= carry;
}

}  // namespace

}  // namespace halvern::json_detail
