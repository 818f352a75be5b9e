// The one table of reader options: every option a Parser takes by keyword (after `canonical`),
// with its type, its default (the field's value in `tarnel::default_options`), how a Python
// object is checked and converted for it, and what the command says of it. Parser's keywords and
// docstring, the stream module's `parser_options` and the command's flags (through
// `tarnel._streaming.READER_OPTIONS`) are all made from it: a new limit or restriction is one line
// here beside its field in tarnel::ReaderOptions.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/args.h"
#include "tarnel/options.h"

namespace tarnel::py {

/// How an option is given from Python.
enum class OptionType : std::uint8_t {
  Count,  // an integer (anything with __index__) from 0 to 2^64-1
  Limit,  // the same, or None for no limit
  Flag,   // a bool, or a NumPy boolean scalar
};

/// One reader option.
struct ReaderOption {
  const char* name;  // Parser's keyword
  OptionType type;
  std::uint64_t ReaderOptions::*count;  // Count and Limit
  bool ReaderOptions::*flag;            // Flag
  const char* about;  // the command's help: what a limit bounds, what a flag turned off refuses
};

/// The table, in the order of Parser's keywords.
inline constexpr ReaderOption reader_option_table[] = {
    {"max_depth", OptionType::Count, &ReaderOptions::max_depth, nullptr, "most lists open at once"},
    {"max_atom_len", OptionType::Limit, &ReaderOptions::max_atom_len, nullptr,
     "most octets in a string"},
    {"max_input_len", OptionType::Limit, &ReaderOptions::max_input_len, nullptr,
     "most octets in one S-expression"},
    {"allow_advanced", OptionType::Flag, nullptr, &ReaderOptions::allow_advanced,
     "the advanced representation (tokens, quoted, hexadecimal, base-64, whitespace)"},
    {"allow_transport", OptionType::Flag, nullptr, &ReaderOptions::allow_transport,
     "the basic transport representation ({...})"},
    {"allow_display_hints", OptionType::Flag, nullptr, &ReaderOptions::allow_display_hints,
     "display hints ([...])"},
    {"allow_empty_atoms", OptionType::Flag, nullptr, &ReaderOptions::allow_empty_atoms,
     "empty octet strings"},
    {"allow_empty_lists", OptionType::Flag, nullptr, &ReaderOptions::allow_empty_lists,
     "empty lists"},
    {"allow_list_as_first_element", OptionType::Flag, nullptr,
     &ReaderOptions::allow_list_as_first_element, "a list as the first element of a list"},
    {"allow_hexadecimal", OptionType::Flag, nullptr, &ReaderOptions::allow_hexadecimal,
     "hexadecimal octet strings (#...#)"},
    {"allow_base64", OptionType::Flag, nullptr, &ReaderOptions::allow_base64,
     "base-64 octet strings (|...|)"},
    {"allow_lengths", OptionType::Flag, nullptr, &ReaderOptions::allow_lengths,
     "length prefixes on quoted, hexadecimal and base-64 strings"},
};

inline constexpr std::size_t reader_option_count = std::size(reader_option_table);

/// Parser's keyword-only parameters: `canonical`, then the table's.
inline constexpr std::array<Param, reader_option_count + 1> parser_params = [] {
  std::array<Param, reader_option_count + 1> params{};
  params[0] = {"canonical", ParamKind::KeywordOnly, false};
  for (std::size_t i = 0; i < reader_option_count; ++i) {
    params[i + 1] = {reader_option_table[i].name, ParamKind::KeywordOnly, false};
  }
  return params;
}();

/// Checks `object` for `option` and sets the option in `options`; false with an exception set
/// (without the argument note, which the caller adds).
bool option_from_python(const ReaderOption& option, PyObject* object, ReaderOptions& options);

/// A flag's check: a bool, or a NumPy boolean scalar. False with TypeError set for anything else.
bool flag_from_python(PyObject* object, bool& out);

/// The value of `option` in `options` as Parser takes it: an int, None for no limit, a bool. A
/// new reference, or null with an exception set.
PyObject* option_to_python(const ReaderOption& option, const ReaderOptions& options);

/// The keywords and defaults of Parser's text signature: "max_depth=..., max_atom_len=None, ...".
std::string parser_keyword_defaults();

/// The table for the command: a tuple of (name, type, default, about), type one of "count",
/// "limit" and "flag". A new reference, or null with an exception set.
PyObject* reader_options_to_python();

}  // namespace tarnel::py
