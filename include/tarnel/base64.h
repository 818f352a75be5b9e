// Base-64 as RFC 4648 section 4 defines it (alphabet A-Z a-z 0-9 + /, pad '='), in the two
// directions S-expressions need: the encoder writes the body of a basic transport form, the
// decoder reads the body of a transport form or of a |...| octet string. The codec knows nothing
// of S-expressions.
//
// The encoder always pads and never breaks lines. The decoder skips whitespace (HT, LF, VT, FF,
// CR, SP) anywhere, accepts a final group with or without its pads, and refuses anything else at
// the offset of the offending octet, counted from the start of the text it was given.
//
// Thread safety: the functions only read their input; any number may run at once.
#pragma once

#include <cstdint>
#include <span>

#include "tarnel/buffer.h"
#include "tarnel/export.h"
#include "tarnel/result.h"

namespace tarnel {

/// The length of the encoding of `n` octets: 4 * ceil(n / 3). `n` must be below 3 * 2^62, so
/// that the length fits 64 bits.
constexpr std::uint64_t base64_encoded_size(std::uint64_t n) noexcept { return (n + 2) / 3 * 4; }

/// Appends the padded encoding of `octets` to `out`. Throws std::bad_alloc when memory runs out
/// (`out` may then hold part of the encoding).
TARNEL_EXPORT void base64_encode(std::span<const std::uint8_t> octets, Buffer& out);

/// Writes the padded encoding of `octets` at `out`, which has room for
/// `base64_encoded_size(octets.size())` characters, and returns the end of what it wrote. Whole
/// groups of three (every length but the last piece's a multiple of three) encode a long input
/// piece by piece to the same text as in one.
TARNEL_EXPORT std::uint8_t* base64_encode_to(std::span<const std::uint8_t> octets,
                                             std::uint8_t* out) noexcept;

/// The decoded octets of `text`, or the offset in `text` of the first octet refused (a character
/// outside the alphabet, a misplaced pad, a final group of one character). Throws std::bad_alloc
/// when memory runs out.
TARNEL_EXPORT Result<Buffer, std::uint64_t> base64_decode(std::span<const std::uint8_t> text);

/// As `base64_decode`, but appends the octets to `out`, whose storage a caller may reuse from
/// one text to the next; returns true, or the offset refused. After a refusal `out` holds its
/// earlier octets and some of the text's. Throws std::bad_alloc when memory runs out.
TARNEL_EXPORT Result<bool, std::uint64_t> base64_decode_into(std::span<const std::uint8_t> text,
                                                             Buffer& out);

}  // namespace tarnel
