// Shows a key: reads a GnuPG secret key file (bare, or in the name-value format) or a file of one
// S-expression in any representation, finds its public-key, private-key or protected-private-key
// list, and writes the list's name and algorithm, then the canonical form of the whole and of the
// parameter named on the command line, one to a line. Exit status: 0 when all was found, 1 when
// the input was refused or lacks the key or parameter, 2 when the file cannot be read:
//   keyinfo ~/.gnupg/private-keys-v1.d/KEYGRIP.key q
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <tarnel/tarnel.h>
#include <utility>

// The file's S-expression, or nothing with the refusal reported: its kind and offset.
std::optional<tarnel::Value> read(const std::string& name, const std::string& file) {
  auto key = tarnel::gnupg::read_key(file);
  if (key) return std::move(key).value();
  tarnel::ReadError refusal = key.error().refusal;
  if (!key.error().is_refusal()) {  // not a key file: an S-expression file, then?
    auto sexp = tarnel::read_whole(tarnel::default_options, file);
    if (sexp) return std::move(sexp).value();
    std::cerr << name << ": " << tarnel::gnupg::to_string(key.error()) << '\n';
    refusal = sexp.error();
  }
  std::cerr << name << ": offset " << refusal.offset << ": "
            << tarnel::error_kind_name(refusal.kind) << ": " << tarnel::to_string(refusal) << '\n';
  return std::nullopt;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: keyinfo FILE PARAMETER\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string file;
  for (char piece[1 << 16]; in.read(piece, sizeof piece) || in.gcount() > 0;)
    file.append(piece, in.gcount());
  if (!in.is_open() || in.bad()) {
    std::cerr << argv[1] << ": cannot be read\n";
    return 2;
  }
  const std::optional<tarnel::Value> sexp = read(argv[1], file);
  if (!sexp) return 1;
  const tarnel::Value* key = nullptr;
  for (const char* kind : {"public-key", "private-key", "protected-private-key"}) {
    if (key == nullptr) key = tarnel::find(*sexp, kind);
  }
  // (KIND (ALGORITHM (PARAMETER ...) ...) ...)
  const auto* algorithm = key && key->elements().size() > 1 ? &key->elements()[1] : nullptr;
  const tarnel::Value* parameter = algorithm ? tarnel::find(*algorithm, argv[2]) : nullptr;
  if (parameter == nullptr) {
    std::cerr << argv[1] << ": no key with an algorithm and a parameter " << argv[2] << '\n';
    return 1;
  }
  std::cout << key->elements()[0].data().text() << ' ' << algorithm->elements()[0].data().text();
  std::cout << '\n' << tarnel::encode_canonical(*key).text() << '\n';
  std::cout << tarnel::encode_canonical(*parameter).text() << '\n';
  return std::cout.flush() ? 0 : 2;
}
