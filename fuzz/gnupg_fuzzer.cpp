// GnuPG's key files on arbitrary octets: no input may crash the joining, leak or trip a sanitizer.
// Beyond that, every joined value is checked against the file it came from:
//   - each octet of the value stands at the file offset `file_offset` gives it, or is the newline
//     a line left empty stands for, placed where that line ends (at its LF, its NUL or the end);
//   - file offsets grow with value offsets, and the value's end maps within the file;
//   - read_key gives exactly what reading the joined value gives, its refusal placed in the file;
//   - a file in neither format is refused at a line the file has.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "tarnel/gnupg.h"
#include "tarnel/reader.h"

namespace {

using namespace tarnel;
using tarnel::fuzz::check;

void check_joined(const gnupg::KeyText& text, std::span<const std::uint8_t> file) {
  const std::span<const std::uint8_t> sexp = text.sexp(file);
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i < sexp.size(); ++i) {
    const std::uint64_t at = text.file_offset(i);
    check(i == 0 || at > previous, "file offsets do not grow with the value's");
    previous = at;
    if (at < file.size() && file[at] == sexp[i]) continue;
    check(sexp[i] == '\n' && (at == file.size() || file[at] == '\n' || file[at] == 0),
          "an octet of the value is not the file's at its offset");
  }
  check(text.file_offset(sexp.size()) <= file.size(), "the value's end maps past the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > fuzz::max_input) return 0;
  const fuzz::HeapCopy copy({data, size});
  const std::span<const std::uint8_t> file = copy.view();

  ReaderOptions options;
  options.max_depth = 64;
  Result<gnupg::KeyText, gnupg::KeyError> text = gnupg::key_text(file);
  Result<Value, gnupg::KeyError> key = gnupg::read_key(options, file);
  if (!text) {
    check(!key && key.error() == text.error(), "read_key and key_text disagree on the format");
    const auto lines = static_cast<std::uint64_t>(std::count(file.begin(), file.end(), '\n')) + 1;
    check(text.error().line <= lines, "a line past the file's end");
    return 0;
  }
  check_joined(*text, file);
  options.allow_raw_octets = true;
  Result<Value, ReadError> whole = read_whole(options, text->sexp(file));
  check(bool(key) == bool(whole), "read_key and reading the joined value disagree");
  if (whole) {
    check(*key == *whole, "read_key and reading the joined value read different values");
  } else {
    ReadError placed = whole.error();
    placed.offset = text->file_offset(placed.offset);
    check(key.error().is_refusal() && key.error().refusal == placed,
          "a refusal not placed in the file where the joined value has it");
  }
  return 0;
}
