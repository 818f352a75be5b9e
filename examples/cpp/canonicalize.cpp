// Reads every S-expression of each file named (in any representation; `-` is standard input) and
// writes its canonical form to standard output: the exact octets a signature or a SHA-256 digest
// is computed over. Files are read in pieces, so a stream of any length is handled in memory
// bounded by its largest S-expression. A refusal is reported with its file and octet offset, and
// the program goes on to the next file.
//
//   canonicalize keys.sexp > keys.canonical
//
// Exit status: 0 when everything was read, 1 when some input was refused, 2 when a file could not
// be read or the output could not be written.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <tarnel/tarnel.h>
#include <vector>

namespace {

// Limits for input from somewhere untrusted: what one S-expression may make the program build.
tarnel::ReaderOptions untrusted_input_options() {
  tarnel::ReaderOptions options;
  options.max_depth = 64;
  options.max_atom_len = std::uint64_t{1} << 20;
  options.max_input_len = std::uint64_t{1} << 24;
  return options;
}

void report(const char* name, const tarnel::ReadError& error) {
  char text[tarnel::error_display_capacity];
  const std::size_t length = tarnel::format_read_error(error, text);
  std::fprintf(stderr, "%s: %.*s\n", name, static_cast<int>(length), text);
}

// Converts one stream's S-expressions as they arrive; returns the exit status it earns.
int canonicalize(const char* name, std::FILE* in, const tarnel::ReaderOptions& options) {
  tarnel::Framer framer(options);
  std::vector<std::uint8_t> window;  // the stream's octets from `window_start` on
  std::uint64_t window_start = 0;
  bool at_end = false;
  while (true) {
    const tarnel::Frame frame = framer.scan(window, window_start, at_end);
    switch (frame.status) {
      case tarnel::FrameStatus::Complete: {
        // The framer has checked these octets as the reader would: reading them cannot fail.
        const auto octets =
            std::span(window).subspan(frame.start - window_start, frame.end - frame.start);
        tarnel::Result<tarnel::Prefix, tarnel::ReadError> read =
            tarnel::read_prefix(options, octets);
        if (!read) {
          report(name, read.error());
          return 1;
        }
        const tarnel::Buffer canonical = tarnel::encode_canonical(read->value);
        if (std::fwrite(canonical.data(), 1, canonical.size(), stdout) != canonical.size()) {
          return 2;
        }
        continue;
      }
      case tarnel::FrameStatus::Refused:
        report(name, frame.error);  // offsets count from the start of the stream
        return 1;
      case tarnel::FrameStatus::Ended:
        return 0;
      case tarnel::FrameStatus::NeedMore:
        break;
    }
    // Drop what the framer no longer needs, then read the next piece.
    const std::uint64_t keep = framer.keep_from();
    window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(keep - window_start));
    window_start = keep;
    std::uint8_t piece[1 << 16];
    const std::size_t got = std::fread(piece, 1, sizeof piece, in);
    if (got == 0) {
      if (std::ferror(in)) {
        std::fprintf(stderr, "%s: read error\n", name);
        return 2;
      }
      at_end = true;
    }
    window.insert(window.end(), piece, piece + got);
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
