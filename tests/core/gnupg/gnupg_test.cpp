// GnuPG's key files. The name-value format is written here as GnuPG's own writer writes it (lines
// of 70 columns cut at a space in the last 30 or else in the middle of a token, each indented by
// one space), and every value so written must read back as the value itself, and a refusal placed
// anywhere in it must come back at the same octet of the file. Both formats take raw octets in
// quoted strings, and files in neither format are refused with the line at fault.
#include "tarnel/gnupg.h"

#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarnel/advanced.h"
#include "tarnel/canonical.h"
#include "tarnel/reader.h"
#include "tree_helpers.h"

namespace tarnel::gnupg {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view whitespace = " \t\r\n";  // GnuPG's

bool is_space(char c) { return whitespace.find(c) != std::string_view::npos; }

// The `Key:` entry GnuPG's name-value writer makes of an S-expression in the advanced
// representation: newlines become spaces and whitespace after whitespace or a bracket goes, then
// the value is cut into lines of 70 columns (the first shortened by the name), each at its last
// whitespace among the last 30 columns, or at the 70th where there is none, and each line is a
// space and its piece.
std::string gnupg_writes(std::string_view value) {
  while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
  std::string clean;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (is_space(c) && i > 0 &&
        (is_space(value[i - 1]) || value[i - 1] == '(' || value[i - 1] == ')')) {
      continue;
    }
    clean.push_back(c == '\n' ? ' ' : c);
  }
  std::string out = "Key:";
  std::string_view rest = clean;
  std::size_t width = 70 - 4;
  while (!rest.empty()) {
    std::size_t cut = rest.size();
    if (cut > width) {
      cut = width;
      for (std::size_t i = width - 30; i < width; ++i) {
        if (is_space(rest[i])) cut = i;
      }
    }
    out += " ";
    out += rest.substr(0, cut);
    out += "\n";
    rest.remove_prefix(cut);
    width = 70;
  }
  return out;
}

// The `Key:` value of a file whose Key entry GnuPG's writer made and which ends with it, joined:
// each line is one space and a piece.
std::string gnupg_unwraps(std::string_view file) {
  std::string_view rest = file.substr(file.find("Key:") + 4);
  std::string value;
  for (;;) {
    const std::size_t lf = rest.find('\n');
    const std::string_view line = rest.substr(0, lf);
    if (!line.empty()) value += line.substr(1);
    if (lf == std::string_view::npos) return value;
    rest.remove_prefix(lf + 1);
  }
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

ReaderOptions raw_options() {
  ReaderOptions options;
  options.allow_raw_octets = true;
  return options;
}

TEST(GnupgKey, ValuesWrappedAsGnupgWrapsThemReadBack) {
  int broken_in_a_token = 0;
  for (std::uint64_t seed = 1; seed <= 600; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Value tree = testing_trees::random_tree(rng, 40);
    const std::string newline = seed % 2 ? "\n" : "\r\n";
    auto written = [&](std::string_view value) {
      return replace_all("Created: 20261208T101500\n" + gnupg_writes(value), "\n", newline);
    };
    auto unwrapped = [&](std::string_view file) {
      return gnupg_unwraps(replace_all(std::string(file), newline, "\n"));
    };

    const std::string file = written(encode_advanced(tree).text());
    const std::string value = unwrapped(file);  // as GnuPG's writer cleaned it
    Result<Value, ReadError> expected = read_whole(raw_options(), value);
    ASSERT_TRUE(expected) << value;
    Result<Value, KeyError> key = read_key(file);
    ASSERT_TRUE(key) << to_string(key.error()) << "\n" << file;
    EXPECT_EQ(encode_canonical(*key).text(), encode_canonical(*expected).text());
    // Read where it stands, line breaks taken for whitespace: another value, or none.
    Result<Value, ReadError> as_is = read_whole(raw_options(), file.substr(file.find("Key:") + 4));
    broken_in_a_token += !as_is || !(*as_is == *key);

    // A refusal anywhere in the value points at the same octet of the file.
    const std::size_t at = rng() % (value.size() + 1);
    const std::string bad = value.substr(0, at) + '\x01' + value.substr(at);
    Result<Value, ReadError> refused = read_whole(raw_options(), bad);
    ASSERT_FALSE(refused);
    const std::string bad_file = written(bad);
    Result<Value, KeyError> bad_key = read_key(bad_file);
    ASSERT_FALSE(bad_key);
    const KeyError error = bad_key.error();
    ASSERT_TRUE(error.is_refusal()) << to_string(error);
    EXPECT_EQ(error.refusal.kind, refused.error().kind);
    ASSERT_LE(error.refusal.offset, bad_file.size());
    EXPECT_EQ(unwrapped(std::string_view(bad_file).substr(0, error.refusal.offset)),
              bad.substr(0, refused.error().offset));
  }
  EXPECT_GT(broken_in_a_token, 50) << "few values broken in the middle of a token";
}

// GnuPG's writer never leaves a line of the entry blank, but a file edited by hand may: a blank
// line stands for a newline, and the line after it loses all its leading whitespace, not one
// octet (GnuPG's continuation rule). Trailing whitespace goes from every line.
TEST(GnupgKey, BlankLinesInTheKeyEntryStandForNewlines) {
  const std::string_view blanks[] = {""sv, " "sv, "\t \r"sv, " \0#"sv};
  int read = 0;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const Value tree = testing_trees::random_tree(rng, 40);
    const std::string entry = gnupg_writes(encode_advanced(tree).text());
    std::vector<std::string> lines;  // each with its LF
    for (std::size_t at = 0; at < entry.size();) {
      const std::size_t lf = entry.find('\n', at);
      lines.push_back(entry.substr(at, lf + 1 - at));
      at = lf + 1;
    }
    const std::size_t blank_after = rng() % lines.size();
    std::string file = "Created: 20261208T101500\n";
    std::string value;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string_view piece = std::string_view(lines[i]).substr(i == 0 ? 5 : 1);
      piece.remove_suffix(1);
      std::string line = lines[i];
      if (i == blank_after + 1) {
        line.insert(0, rng() % 2 ? " \t" : "\t");
        while (!piece.empty() && is_space(piece[0])) piece.remove_prefix(1);
      }
      line.insert(line.size() - 1, rng() % 3 ? ""sv : " \t\r"sv);
      file += line;
      value += piece;
      if (i == blank_after) {
        file += blanks[rng() % std::size(blanks)];
        file += "\n";
        value += "\n";
      }
    }
    // A newline in the middle of a token or a quoted string may break the value: then the file
    // is refused the same way.
    Result<Value, ReadError> expected = read_whole(raw_options(), value);
    Result<Value, KeyError> key = read_key(file);
    ASSERT_EQ(bool(key), bool(expected)) << file;
    if (key) {
      EXPECT_TRUE(*key == *expected) << file;
      ++read;
    } else {
      EXPECT_EQ(key.error().refusal.kind, expected.error().kind) << file;
    }
  }
  EXPECT_GT(read, 150);
  // A last line left empty without an LF stands for a newline the file does not hold: the value
  // ends with the file.
  Result<Value, KeyError> cut = read_key("Key: (a\n \t"sv);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().refusal, (ReadError{10, ErrorKind::UnexpectedEnd}));
  //                                        ^ past the tab
}

// Raw octets in a quoted string, as libgcrypt writes them, in either format; bare files are read
// as they stand (the fuzz target holds them to read_whole).
TEST(GnupgKey, RawOctetsReadInEitherFormat) {
  Result<Value, KeyError> raw = read_key("(a \"\xb6\xc9\")");
  ASSERT_TRUE(raw);
  EXPECT_EQ(encode_canonical(*raw).text(), "(1:a2:\xb6\xc9)");
  Result<Value, KeyError> extended = read_key("Key: (a \"\xb6\n \xc9\")");
  ASSERT_TRUE(extended);
  EXPECT_TRUE(*extended == *raw);
  Result<Value, KeyError> refused = read_key("(a \"\x01\")"sv);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), (KeyError{KeyErrorKind::Refused, 0, {4, ErrorKind::UnexpectedOctet}}));
  //                                                               ^ the control octet
}

TEST(GnupgKey, FilesInNeitherFormatAreRefusedAtTheirLine) {
  struct Case {
    std::string_view file;
    KeyErrorKind kind;
    std::uint64_t line;
    std::string_view message;
  };

  const Case cases[] = {
      {""sv, KeyErrorKind::NoKeyEntry, 0, "it has no Key entry"},
      {"Created: 1\n# Key: (a)\n\n"sv, KeyErrorKind::NoKeyEntry, 0, "it has no Key entry"},
      {"Key: (a)\nA: b\r\n kEY: (b)\n"sv, KeyErrorKind::Refused, 0, ""},  // a continuation
      {"Key: (a)\nA: b\n\nkEY: (b)\n"sv, KeyErrorKind::SecondKeyEntry, 4,
       "a second Key entry on line 4"},
      {" (a)\nKey: (b)\n"sv, KeyErrorKind::NotNameValue, 1, "line 1 is not 'Name: value'"},
      {"Key: (a)\n\f(b)\n"sv, KeyErrorKind::NotNameValue, 2, "line 2 is not 'Name: value'"},
      {"Key: (a)\nA\0: b\n"sv, KeyErrorKind::NotNameValue, 2, "line 2 is not 'Name: value'"},
      {"Key: (a)\nA_b: c\n"sv, KeyErrorKind::InvalidName, 2,
       "the name on line 2 is not a letter followed by letters, digits and '-'"},
      {"9a: b\nKey: (a)\n"sv, KeyErrorKind::InvalidName, 1,
       "the name on line 1 is not a letter followed by letters, digits and '-'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file));
    Result<Value, KeyError> key = read_key(c.file);
    if (c.kind == KeyErrorKind::Refused) {  // read: the second name continues the entry before
      EXPECT_TRUE(key);
      continue;
    }
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error(), (KeyError{c.kind, c.line, ReadError{}}));
    EXPECT_EQ(to_string(key.error()), "not a GnuPG key file: " + std::string(c.message));
  }
}

}  // namespace
}  // namespace tarnel::gnupg
