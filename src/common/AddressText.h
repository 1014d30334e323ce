#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Address and number text, read by the same rules on every platform and without the system's
// parsers: what a client sends, what the journal holds and what the kernel prints.
namespace halvern {

// True when the whole of `text` is dotted-decimal IPv4 as glibc's inet_pton reads it: four
// parts of 0 to 255, without signs, spaces or leading zeros.
bool isIpv4Text(std::string_view text);

// True when the whole of `text` is an IPv4 or IPv6 address as glibc's inet_pton reads it. IPv6:
// eight groups of one to four hex digits, or fewer with one "::" that stands for at least one
// group; the last two groups may be written as dotted IPv4.
bool isIpText(std::string_view text);

// The dotted-decimal text of an IPv4 address held in network byte order, as systems store it.
std::string ipv4Text(std::uint32_t networkOrderAddress);

// The value of `text` when the whole of it is digits of `base` (10 or 16; no sign, prefix or
// space) and the value is at most `max`; nothing otherwise.
std::optional<std::uint64_t> wholeNumber(std::string_view text, std::uint64_t max, int base = 10);

}  // namespace halvern
