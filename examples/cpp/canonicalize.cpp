// Reads every S-expression of each file named (in any representation) and writes its canonical
// form to standard output: the exact octets a signature or a SHA-256 digest is computed over. A
// refusal is reported with its file and octet offset, and the program goes on to the next file.
//
//   canonicalize keys.sexp > keys.canonical
//
// Exit status: 0 when everything was read, 1 when some input was refused, 2 when a file could not
// be read or the output could not be written.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <tarnel/tarnel.h>
#include <vector>

namespace {

// Limits for input from somewhere untrusted: what a read may make the program build.
tarnel::ReaderOptions untrusted_input_options() {
  tarnel::ReaderOptions options;
  options.max_depth = 64;
  options.max_atom_len = std::uint64_t{1} << 20;
  options.max_input_len = std::uint64_t{1} << 24;
  return options;
}

bool is_whitespace(std::uint8_t octet) { return octet == ' ' || (octet >= '\t' && octet <= '\r'); }

// Converts one file's S-expressions; returns the exit status it earns.
int canonicalize(const char* name, const tarnel::ReaderOptions& options) {
  std::ifstream file(name, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "%s: cannot be read\n", name);
    return 2;
  }
  const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
  std::uint64_t at = 0;
  while (true) {
    while (at < input.size() && is_whitespace(input[at])) ++at;
    if (at == input.size()) return 0;
    const auto rest = std::span(input).subspan(at);
    tarnel::Result<tarnel::Prefix, tarnel::ReadError> read = tarnel::read_prefix(options, rest);
    if (!read) {
      // Offsets count from the start of what the reader was given: here, this S-expression.
      tarnel::ReadError error = read.error();
      error.offset += at;
      char text[tarnel::error_display_capacity];
      const std::size_t length = tarnel::format_read_error(error, text);
      std::fprintf(stderr, "%s: %.*s\n", name, static_cast<int>(length), text);
      return 1;
    }
    const tarnel::Buffer canonical = tarnel::encode_canonical(read->value);
    if (std::fwrite(canonical.data(), 1, canonical.size(), stdout) != canonical.size()) return 2;
    at += read->consumed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: canonicalize FILE...\n");
    return 2;
  }
  const tarnel::ReaderOptions options = untrusted_input_options();
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const int file_status = canonicalize(argv[i], options);
    if (file_status > status) status = file_status;
  }
  if (std::fflush(stdout) != 0) status = 2;
  return status;
}
