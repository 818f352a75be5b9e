#include "workloads.h"

#include <random>
#include <span>
#include <string_view>
#include <utility>

#include "tarnel/base64.h"
#include "tarnel/canonical.h"
#include "tarnel/transport.h"

namespace tarnel::bench {
namespace {

constexpr std::uint64_t seed = 6;

class Random {
 public:
  Random() : engine_(seed) {}

  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(engine_() % n); }

  std::vector<std::uint8_t> octets(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (std::uint8_t& o : out) o = static_cast<std::uint8_t>(engine_());
    return out;
  }

 private:
  std::mt19937_64 engine_;
};

Value atom_of(std::span<const std::uint8_t> octets) { return Value::atom(Octets(octets)); }

std::vector<std::uint8_t> to_vector(const Buffer& b) {
  return std::vector<std::uint8_t>(b.data(), b.data() + b.size());
}

void append(std::vector<std::uint8_t>& out, std::string_view s) {
  out.insert(out.end(), s.begin(), s.end());
}

Value flat_tree(std::uint32_t scale) {
  Random random;
  const std::uint32_t lists = 25'000 / scale;
  Value::List root;
  root.reserve(lists);
  for (std::uint32_t i = 0; i < lists; ++i) {
    Value::List group;
    for (int j = 0; j < 8; ++j) group.push_back(atom_of(random.octets(1 + random.below(16))));
    root.push_back(Value::list(std::move(group)));
  }
  return Value::list(std::move(root));
}

// One atom of (d), appended to `text` in the form its index picks.
Value advanced_atom(Random& random, std::uint32_t index, std::vector<std::uint8_t>& text) {
  static constexpr std::string_view letters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  static constexpr std::string_view token_chars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-./_:*+=";
  static constexpr char hex[] = "0123456789abcdef";
  const std::size_t n = 1 + random.below(16);
  std::vector<std::uint8_t> octets;
  switch (index % 4) {
    case 0:  // token
      octets.push_back(static_cast<std::uint8_t>(letters[random.below(letters.size())]));
      while (octets.size() < n) {
        octets.push_back(static_cast<std::uint8_t>(token_chars[random.below(token_chars.size())]));
      }
      text.insert(text.end(), octets.begin(), octets.end());
      break;
    case 1:  // quoted, with escapes
      text.push_back('"');
      for (std::size_t i = 0; i < n; ++i) {
        // Printable ASCII, and now and then an octet that needs an escape.
        const std::uint32_t pick = random.below(100);
        std::uint8_t o = static_cast<std::uint8_t>(0x20 + random.below(95));
        if (pick == 0) o = '\n';
        if (pick == 1) o = '\t';
        if (pick == 2) o = 0x01;
        if (pick == 3) o = 0x7F;
        octets.push_back(o);
        if (o == '\n') {
          append(text, "\\n");
        } else if (o == '\t') {
          append(text, "\\t");
        } else if (o == 0x01) {
          append(text, "\\x01");
        } else if (o == 0x7F) {
          append(text, "\\177");
        } else {
          if (o == '"' || o == '\\') text.push_back('\\');
          text.push_back(o);
        }
      }
      text.push_back('"');
      break;
    case 2:  // hexadecimal
      octets = random.octets(n);
      text.push_back('#');
      for (std::uint8_t o : octets) {
        text.push_back(static_cast<std::uint8_t>(hex[o >> 4]));
        text.push_back(static_cast<std::uint8_t>(hex[o & 15]));
      }
      text.push_back('#');
      break;
    default: {  // base-64
      octets = random.octets(n);
      Buffer encoded;
      base64_encode(octets, encoded);
      text.push_back('|');
      text.insert(text.end(), encoded.data(), encoded.data() + encoded.size());
      text.push_back('|');
      break;
    }
  }
  return atom_of(octets);
}

}  // namespace

Workload make_flat(std::uint32_t scale) {
  Workload w{"a", flat_tree(scale), {}};
  w.text = to_vector(encode_canonical(w.tree));
  return w;
}

Workload make_large(std::uint32_t scale) {
  Random random;
  const std::uint32_t count = scale > 1 ? 2 : 16;
  const std::size_t size = scale > 1 ? (std::size_t{1} << 20) / scale : std::size_t{1} << 20;
  Value::List root;
  for (std::uint32_t i = 0; i < count; ++i) root.push_back(atom_of(random.octets(size)));
  Workload w{"b", Value::list(std::move(root)), {}};
  w.text = to_vector(encode_canonical(w.tree));
  return w;
}

Workload make_deep(std::uint32_t scale) {
  const std::uint32_t chains = scale > 1 ? 2 : 200;
  Value::List root;
  for (std::uint32_t i = 0; i < chains; ++i) {
    Value::List innermost;
    innermost.push_back(Value::atom(Octets(std::string_view("x"))));
    Value chain = Value::list(std::move(innermost));
    for (int depth = 1; depth < 1000; ++depth) {
      Value::List outer;
      outer.push_back(std::move(chain));
      chain = Value::list(std::move(outer));
    }
    root.push_back(std::move(chain));
  }
  Workload w{"c", Value::list(std::move(root)), {}};
  w.text = to_vector(encode_canonical(w.tree));
  return w;
}

Workload make_advanced(std::uint32_t scale) {
  Random random;
  const std::uint32_t lists = 25'000 / scale;
  std::vector<std::uint8_t> text;
  Value::List root;
  root.reserve(lists);
  text.push_back('(');
  std::uint32_t index = 0;
  for (std::uint32_t i = 0; i < lists; ++i) {
    if (i != 0) text.push_back(' ');
    text.push_back('(');
    Value::List group;
    for (int j = 0; j < 8; ++j) {
      if (j != 0) text.push_back(' ');
      group.push_back(advanced_atom(random, index++, text));
    }
    text.push_back(')');
    root.push_back(Value::list(std::move(group)));
  }
  text.push_back(')');
  return Workload{"d", Value::list(std::move(root)), std::move(text)};
}

Workload make_transport(std::uint32_t scale) {
  Workload w{"e", flat_tree(scale), {}};
  w.text = to_vector(encode_transport(w.tree));
  return w;
}

}  // namespace tarnel::bench
