// Reads every S-expression of each file named (in any representation; `-` is standard input) and
// writes its canonical form to standard output: the exact octets a signature or a SHA-256 digest
// is computed over. The stream engine pulls each file in pieces, so a stream of any length is
// handled in memory bounded by its largest S-expression. A refusal is reported with its file and
// octet offset, and the program goes on to the next file.
//
//   canonicalize keys.sexp > keys.canonical
//
// Exit status: 0 when everything was read, 1 when some input was refused, 2 when a file could not
// be read or the output could not be written.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <tarnel/tarnel.h>

namespace {

// Limits for input from somewhere untrusted: what one S-expression may make the program build.
tarnel::ReaderOptions untrusted_input_options() {
  tarnel::ReaderOptions options;
  options.max_depth = 64;
  options.max_atom_len = std::uint64_t{1} << 20;
  options.max_input_len = std::uint64_t{1} << 24;
  return options;
}

// The pieces of a C stream, for the engine to pull.
class FileSource final : public tarnel::StreamSource {
 public:
  explicit FileSource(std::FILE* in) noexcept : in_(in) {}

  bool next(std::span<const std::uint8_t>& piece) override {
    const std::size_t got = std::fread(piece_, 1, sizeof piece_, in_);
    piece = std::span<const std::uint8_t>(piece_, got);  // empty at the end of the file
    return got != 0 || !std::ferror(in_);
  }

 private:
  std::FILE* in_;
  std::uint8_t piece_[1 << 16];
};

// Converts one stream's S-expressions as they arrive; returns the exit status it earns.
int canonicalize(const char* name, std::FILE* in, const tarnel::ReaderOptions& options) {
  FileSource source(in);
  tarnel::StreamReader stream(options, source);
  tarnel::Buffer canonical;
  for (;;) {
    canonical.clear();
    switch (stream.next_converted(tarnel::OutputForm::Canonical, canonical)) {
      case tarnel::StreamStatus::Read:
        if (std::fwrite(canonical.data(), 1, canonical.size(), stdout) != canonical.size()) {
          return 2;
        }
        continue;
      case tarnel::StreamStatus::Ended:
        return 0;
      case tarnel::StreamStatus::Refused:  // offsets count from the start of the stream
        std::fprintf(stderr, "%s: %s\n", name, tarnel::to_string(stream.refusal()).c_str());
        return 1;
      default:  // the source failed: the file could not be read
        std::fprintf(stderr, "%s: read error\n", name);
        return 2;
    }
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
    const bool is_stdin = std::strcmp(argv[i], "-") == 0;
    std::FILE* in = is_stdin ? stdin : std::fopen(argv[i], "rb");
    int file_status = 2;
    if (in == nullptr) {
      std::fprintf(stderr, "%s: cannot be read\n", argv[i]);
    } else {
      file_status = canonicalize(argv[i], in, options);
      if (!is_stdin) std::fclose(in);
    }
    if (file_status > status) status = file_status;
  }
  if (std::fflush(stdout) != 0) status = 2;
  return status;
}
