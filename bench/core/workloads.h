// The benchmark workloads, made from a fixed seed so that every run reads the same octets:
//
//   a  200,000 atoms of 1-16 random octets, in lists of 8 under one list
//   b  16 atoms of 1 MiB of random octets under one list
//   c  200 chains nested 1,000 deep (the innermost list of each holds one 1-octet atom)
//   d  the shape of (a) in the advanced representation: tokens, quoted strings with escapes,
//      hexadecimal and base-64, one form after another
//   e  the basic transport form of (a)
//
// `scale` divides the counts (not the nesting of c nor the atom sizes of a and d), so that a
// smoke run finishes in moments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarnel/buffer.h"
#include "tarnel/value.h"

namespace tarnel::bench {

/// One workload: its tree, and the text the reader benchmarks read.
struct Workload {
  std::string name;
  Value tree;
  std::vector<std::uint8_t> text;  // canonical, or advanced for d, or transport for e
};

Workload make_flat(std::uint32_t scale);       // a
Workload make_large(std::uint32_t scale);      // b
Workload make_deep(std::uint32_t scale);       // c
Workload make_advanced(std::uint32_t scale);   // d
Workload make_transport(std::uint32_t scale);  // e

}  // namespace tarnel::bench
