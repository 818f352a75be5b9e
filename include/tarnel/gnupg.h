// GnuPG's secret key files, read as S-expressions. gpg-agent keeps each secret key in a file of
// its own (in `private-keys-v1.d` under the GnuPG home directory, named after its keygrip), in one
// of two formats:
//
// - a bare S-expression in the canonical representation;
// - the name-value format GnuPG calls the extended key format: lines `Name: value`, the key itself
//   the value of `Key:`, an S-expression in the advanced representation.
//
// As gpg-agent does, a file that starts with `(` is taken for the first format and any other for
// the second. GnuPG writes a value over lines of 70 columns, each after the first indented by one
// space, and breaks it at a space in the last 30 columns or else in the middle of a token, so a
// line break is not whitespace: the lines of the `Key:` entry are joined as GnuPG's own reader
// joins them, and the joined value is read. The rule, line by line (lines end at LF; a NUL ends
// what GnuPG sees of a line):
//
// - While an entry is open, a line that begins with a space or a tab, or holds nothing but
//   whitespace (space, tab, CR, LF), continues it, whatever follows (a `#` there is data). Any
//   other line ends it, and is a comment (`#` its first octet past any whitespace), blank, or a
//   new entry `Name: value`, whose name is a letter followed by letters, digits and `-`.
// - Each line of the `Key:` entry (the first from just past its colon) adds to the value: the line
//   less one leading whitespace octet (all of them after a line that added a newline) and all
//   trailing whitespace; a line left empty adds a newline.
//
// GnuPG writes its S-expressions with libgcrypt, which leaves the octets 0xA1-0xFF of a quoted
// string as they are where §6.4 allows only printable ASCII (a protected key's salt comes out that
// way now and then), so both formats are read with `allow_raw_octets` on, whatever the options
// say; every other restriction and limit of the options holds (`max_input_len` for the joined
// value).
//
// A file is refused in one of two ways, both returned as a `KeyError`: a file in neither format
// (a line that is not `Name: value`, a bad name, no or a second `Key:` entry), with the line at
// fault; or an S-expression the reader refuses, as its `ReadError` with the offset counted from
// the start of the file, so that it points at the offending octet of the file whichever format
// it is in.
//
// Thread safety: every function here is pure; any number of calls may run at once, sharing input
// and options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/error.h"
#include "tarnel/export.h"
#include "tarnel/options.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel::gnupg {

/// Why a key file was refused. Every kind but `Refused` means the file is in neither format.
enum class KeyErrorKind : std::uint8_t {
  /// The key's S-expression was refused by the reader: see `KeyError::refusal`.
  Refused,
  /// A name-value file without a `Key:` entry.
  NoKeyEntry,
  /// A line that is not `Name: value` where an entry, a comment or a blank line must be.
  NotNameValue,
  /// An entry whose name is not a letter followed by letters, digits and `-`.
  InvalidName,
  /// A second `Key:` entry (names are compared without regard to case).
  SecondKeyEntry,
};

/// A refused key file: which way, and where.
struct KeyError {
  /// Why the file was refused.
  KeyErrorKind kind = KeyErrorKind::Refused;
  /// The line at fault, counted from 1, for `NotNameValue`, `InvalidName` and `SecondKeyEntry`;
  /// 0 otherwise.
  std::uint64_t line = 0;
  /// For `Refused`: the reader's refusal, its offset counted from the first octet of the file.
  ReadError refusal;

  /// Whether the file is a key file whose S-expression was refused (rather than a file in
  /// neither format).
  bool is_refusal() const noexcept { return kind == KeyErrorKind::Refused; }

  /// Equal when every field is.
  friend bool operator==(const KeyError&, const KeyError&) = default;
};

/// The display text of `error`: for `Refused` the reader's, "<message> at offset <n>" (the text
/// of Python's `ParseError`); otherwise "not a GnuPG key file: " and what is wrong, such as "not
/// a GnuPG key file: line 3 is not 'Name: value'" (the text of the `ValueError` Python's
/// `tarnel.gnupg.read_key` raises). Throws std::bad_alloc when memory runs out.
TARNEL_EXPORT std::string to_string(const KeyError& error);

/// Where one piece of the joined `Key:` value of a name-value file came from: its octets, from
/// `start` up to the next piece's start (or the value's end), were taken from the file from
/// `place` on.
struct KeyPiece {
  /// The piece's first octet in the joined value.
  std::uint64_t start = 0;
  /// Its first octet in the file (for a piece that stands for an empty line, the line's end).
  std::uint64_t place = 0;
};

/// The S-expression of a key file, before it is read: for a bare file the file itself, for a
/// name-value file the joined value of its `Key:` entry and the way back to the file.
struct KeyText {
  /// Whether the file is in the name-value format; if not, `value` and `pieces` are empty.
  bool name_value = false;
  /// The `Key:` value, its lines joined.
  Buffer value;
  /// Each piece of `value` with its place in the file, in order; the first starts at 0, and no
  /// piece is empty.
  std::vector<KeyPiece> pieces;
  /// The file's length in octets: no offset maps past it (a last line left empty without an LF
  /// stands for a newline the file does not hold).
  std::uint64_t file_size = 0;

  /// The S-expression's octets: `value`, or `file` itself (which must be the file this was made
  /// from) for a bare file. Valid as long as both are. Cannot fail.
  std::span<const std::uint8_t> sexp(std::span<const std::uint8_t> file) const noexcept {
    return name_value ? value.view() : file;
  }

  /// The offset in the file of the octet at `offset` in `sexp(file)`; for an `offset` at its end
  /// (as a reader's refusal may give), just past the place of its last octet, or the file's end
  /// if that comes first. Cannot fail.
  TARNEL_EXPORT std::uint64_t file_offset(std::uint64_t offset) const noexcept;
};

/// Finds the key's S-expression in the octets of a key file, as described above, without reading
/// it.
///
/// - `file`: the whole file; only read, during the call (the result copies what it needs).
/// - Returns the text and its way back to the file, or for a file in neither format a `KeyError`
///   of the first fault, in file order (`NoKeyEntry` when no line is at fault); never `Refused`.
/// - Throws std::bad_alloc when memory runs out; nothing else.
/// - Thread safety: any number of calls may run at once.
TARNEL_EXPORT Result<KeyText, KeyError> key_text(std::span<const std::uint8_t> file);

/// Reads the key of a GnuPG secret key file in either format.
///
/// - `options`: the restrictions and limits of the read, with `allow_raw_octets` taken as on;
///   only read, during the call.
/// - `file`: the file's octets; only read, during the call (the value owns copies).
/// - Returns the key's S-expression, or a `KeyError`: for a file in neither format its kind and
///   line, for a refused S-expression the refusal with its offset in `file`.
/// - Throws std::bad_alloc when memory runs out; nothing else.
/// - Thread safety: any number of reads may run at once, sharing options and input.
TARNEL_EXPORT Result<Value, KeyError> read_key(const ReaderOptions& options,
                                               std::span<const std::uint8_t> file);

/// As above, over the octets of `file`, such as a `std::string` holding the file.
inline Result<Value, KeyError> read_key(const ReaderOptions& options, std::string_view file) {
  return read_key(options, as_octets(file));
}

/// As above, over `std::byte`s.
inline Result<Value, KeyError> read_key(const ReaderOptions& options,
                                        std::span<const std::byte> file) {
  return read_key(options, as_octets(file));
}

/// As above, with the default options (depth 1024, no length limits).
inline Result<Value, KeyError> read_key(std::span<const std::uint8_t> file) {
  return read_key(default_options, file);
}

/// As above, over the octets of `file`.
inline Result<Value, KeyError> read_key(std::string_view file) {
  return read_key(default_options, as_octets(file));
}

/// As above, over `std::byte`s.
inline Result<Value, KeyError> read_key(std::span<const std::byte> file) {
  return read_key(default_options, as_octets(file));
}

}  // namespace tarnel::gnupg
