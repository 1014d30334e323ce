#include "control/JsonLiteralScan.h"

#include <cstring>
#include <string>
#include <utility>

#include "control/JsonBlockKernels.h"
#include "control/JsonLiteralKernels.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HALVERN_HAVE_SSE2 1
#endif

namespace halvern::json_detail {
namespace {

constexpr std::size_t kNpos = std::string_view::npos;

struct BaselineClassify {
    static BlockMasks classify(const char* p) {
        BlockMasks masks{0, 0};
#ifdef HALVERN_HAVE_SSE2
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        for (unsigned i = 0; i < 4; ++i) {
            const __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + std::size_t{16} * i));
            const auto q = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
            const auto b =
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, backslash)));
            masks.quotes |= static_cast<std::uint64_t>(q) << (16 * i);
            masks.backslashes |= static_cast<std::uint64_t>(b) << (16 * i);
        }
#else
        for (unsigned i = 0; i < kBlock; ++i) {
            masks.quotes |= static_cast<std::uint64_t>(p[i] == '"') << i;
            masks.backslashes |= static_cast<std::uint64_t>(p[i] == '\\') << i;
        }
#endif
        return masks;
    }
};

// Copies the runs between dropped bytes; a short run takes one 16-byte move, for which both
// buffers have room.
struct BaselineCompact {
    static char* compact(const char* in, std::uint64_t keep, char* out) {
        std::uint64_t drop = ~keep;
        std::size_t from = 0;
        while (drop != 0) {
            const std::size_t at = lowestBit(drop);
            copyRun(out, in + from, at - from);
            out += at - from;
            from = at + 1;
            drop &= drop - 1;
        }
        std::memcpy(out, in + from, kBlock - from);
        return out + (kBlock - from);
    }

    static void copyRun(char* out, const char* in, std::size_t length) {
#ifdef HALVERN_HAVE_SSE2
        if (length <= 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
            return;
        }
#endif
        std::memcpy(out, in, length);
    }
};

BlockScanStop scanBlocksBaseline(const char* data, std::size_t size, std::size_t p) {
    return scanBlocks<BaselineClassify>(data, size, p);
}

void decodeBlocksBaseline(const char** in, const char* end, char** out) {
    decodeBlocks<BaselineClassify, BaselineCompact>(*in, end, *out);
}

LiteralKernels chooseKernels() {
#ifdef HALVERN_HAVE_AVX512_KERNELS
    if (avx512KernelsUsable()) {
        return {scanBlocksAvx512, decodeBlocksAvx512};
    }
#endif
    return baselineLiteralKernels();
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

// Decodes one byte or one whole escape at `in`; the body is known to be valid.
void decodeStep(const char*& in, char*& out) {
    const char c = *in++;
    if (c != '\\') {
        *out++ = c;
        return;
    }
    const char escape = *in++;
    *out++ = decodeEscape(escape);
    if (escape == 'u') {
        in += 4;
    }
}

}  // namespace

LiteralKernels baselineLiteralKernels() {
    return {scanBlocksBaseline, decodeBlocksBaseline};
}

const LiteralKernels& literalKernels() {
    static const LiteralKernels kernels = chooseKernels();
    return kernels;
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
    return kNpos;
}

std::size_t scanStringLiteral(std::string_view text, std::size_t open, bool& hasEscape) {
    return scanStringLiteralWith(literalKernels(), text, open, hasEscape);
}

std::size_t scanStringLiteralWith(const LiteralKernels& kernels, std::string_view text,
                                  std::size_t open, bool& hasEscape) {
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
        const BlockScanStop stop = kernels.scanBlocks(text.data(), n, p);
        hasEscape = hasEscape || stop.sawEscape;
        if (stop.closed) {
            return stop.position;
        }
        p = stop.position;
        if (n - p < kBlock) {
            break;
        }
        // A block with an escape other than \" or \\: the careful way, then blocks again.
        const std::size_t blockEnd = p + kBlock;
        while (p < blockEnd) {
            if (!stepLiteral(text, p, hasEscape, closed)) {
                return kNpos;
            }
            if (closed) {
                return p;
            }
        }
    }
    while (stepLiteral(text, p, hasEscape, closed)) {
        if (closed) {
            return p;
        }
    }
    return kNpos;
}

void decodeStringBody(std::string_view body, std::string& output) {
    decodeStringBodyWith(literalKernels(), body, output);
}

void decodeStringBodyWith(const LiteralKernels& kernels, std::string_view body,
                          std::string& output) {
    // The decoded text is never longer than the body; the spare bytes let the kernels overshoot.
    std::string decoded(body.size() + kDecodeLookahead, '\0');
    char* out = decoded.data();
    const char* in = body.data();
    const char* const end = in + body.size();
    for (;;) {
        kernels.decodeBlocks(&in, end, &out);
        if (static_cast<std::size_t>(end - in) < kBlock + kDecodeLookahead) {
            break;
        }
        const char* const blockEnd = in + kBlock;
        while (in < blockEnd) {
            decodeStep(in, out);
        }
    }
    while (in < end) {
        decodeStep(in, out);
    }
    decoded.resize(static_cast<std::size_t>(out - decoded.data()));
    output = std::move(decoded);
}

void decodeStringBodyBytewise(std::string_view body, std::string& output) {
    std::string decoded(body.size(), '\0');
    char* out = decoded.data();
    const char* in = body.data();
    while (in < body.data() + body.size()) {
        decodeStep(in, out);
    }
    decoded.resize(static_cast<std::size_t>(out - decoded.data()));
    output = std::move(decoded);
}

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

}  // namespace halvern::json_detail
