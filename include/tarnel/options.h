// The restrictions and limits one read is performed against. The reader never changes a set of
// options and keeps no state between reads, so one set may serve any number of reads, also on
// several threads at once. With the flags at their defaults the reader accepts all three
// representations of §6; each `allow_` flag that is on by default switches off one construct (the
// restrictions of §8), and each limit bounds the size or nesting untrusted input can make the
// reader build. One flag, off by default, goes the other way: `allow_raw_octets` lets in octets
// that §6.4 keeps out of quoted strings, for reading what other programs write.
//
// Thread safety: a plain struct; the reader only reads it, so any number of reads may share one.
#pragma once

#include <cstdint>
#include <limits>

namespace tarnel {

/// No limit: the largest unsigned 64-bit value, against which no comparison fails.
inline constexpr std::uint64_t no_limit = std::numeric_limits<std::uint64_t>::max();

/// The default most lists that may be open at once.
inline constexpr std::uint64_t default_max_depth = 1024;

/// One set of reader options; fields in their fixed order.
struct ReaderOptions {
  /// The most lists that may be open at the same time (the outermost counts as depth 1).
  std::uint64_t max_depth = default_max_depth;
  /// The most octets one decoded octet string (data or display hint) may hold.
  std::uint64_t max_atom_len = no_limit;
  /// The most octets the input of one read may hold.
  std::uint64_t max_input_len = no_limit;
  /// Tokens, quoted, hexadecimal and base-64 strings, and whitespace between elements.
  bool allow_advanced = true;
  /// A basic transport form (braces) as the whole S-expression.
  bool allow_transport = true;
  /// Display hints.
  bool allow_display_hints = true;
  /// Octet strings of length zero, data and display hints alike.
  bool allow_empty_atoms = true;
  /// Lists with no element.
  bool allow_empty_lists = true;
  /// A list as the first element of a list.
  bool allow_list_as_first_element = true;
  /// Hexadecimal octet strings.
  bool allow_hexadecimal = true;
  /// Base-64 octet strings.
  bool allow_base64 = true;
  /// A decimal length before a quoted, hexadecimal or base-64 octet string.
  bool allow_lengths = true;
  /// Octets 0x80-0xFF standing for themselves inside a quoted string. §6.4 allows only printable
  /// ASCII between the quotes, but libgcrypt writes any octet from 0xA1 up as it is (GnuPG's key
  /// files hold such strings); this reads them. Other control octets are still refused and the
  /// escapes are unchanged. No writer produces such a string.
  bool allow_raw_octets = false;

  friend bool operator==(const ReaderOptions&, const ReaderOptions&) = default;
};

/// Everything allowed, depth 1024, no length limits.
inline constexpr ReaderOptions default_options{};

/// As `default_options`, but only the canonical representation (no advanced, no transport).
inline constexpr ReaderOptions canonical_options = [] {
  ReaderOptions o;
  o.allow_advanced = false;
  o.allow_transport = false;
  return o;
}();

/// The options for the octets a basic transport form decodes to: the outer limits and flags,
/// with the advanced representation and a further transport form forbidden. Pure; cannot fail.
constexpr ReaderOptions transport_inner_options(const ReaderOptions& outer) noexcept {
  ReaderOptions inner = outer;
  inner.allow_advanced = false;
  inner.allow_transport = false;
  return inner;
}

}  // namespace tarnel
