#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "control/JsonBlockKernels.h"

namespace halvern::json_detail {

// The block kernels for this processor: AVX-512 where the processor and the build have it,
// else SSE2 (or plain C++ where there is no SSE2). Chosen once, on first use.
struct LiteralKernels {
    BlockScanStop (*scanBlocks)(const char* data, std::size_t size, std::size_t p);
    void (*decodeBlocks)(const char** in, const char* end, char** out);
};

const LiteralKernels& literalKernels();

// The SSE2 (or plain C++) kernels, whatever the processor; tests check both sets against the
// byte-by-byte rules.
LiteralKernels baselineLiteralKernels();

// The literal scanner and decoder with a given set of kernels.
std::size_t scanStringLiteralWith(const LiteralKernels& kernels, std::string_view text,
                                  std::size_t open, bool& hasEscape);
void decodeStringBodyWith(const LiteralKernels& kernels, std::string_view body,
                          std::string& output);

// Present when the build has the AVX-512 translation unit (GCC or Clang on x86-64).
bool avx512KernelsUsable();
BlockScanStop scanBlocksAvx512(const char* data, std::size_t size, std::size_t p);
void decodeBlocksAvx512(const char** in, const char* end, char** out);

}  // namespace halvern::json_detail
