// The whole C++ API of tarnel: SPKI S-expressions (RFC 9804) read from and written to their
// canonical (§6.2), basic transport (§6.3) and advanced (§6.4) representations.
//
//   value.h      Value and Octets: an S-expression in memory; clone, ==, brace-list building
//   buffer.h     Buffer: the octets the writers and the codec produce; as_octets for text/bytes
//   result.h     Result<T, E>: a value or the reason there is none; nothing throws but bad_alloc
//   options.h    ReaderOptions: the representations, restrictions and limits a read accepts
//   error.h      ReadError and ErrorKind: what was refused, where, its name and message
//   reader.h     read_whole, read_prefix: one S-expression into a Value, from octets, text
//                or std::byte
//   canonical.h  the canonical writer, over a Value or driven element by element
//   advanced.h   the advanced writer, likewise
//   pretty.h     the advanced form laid out over indented lines, likewise
//   transport.h  the basic transport writer
//   framer.h     Framer: where each S-expression of a stream ends, as it arrives in pieces
//   stream.h     StreamReader: every S-expression of a stream, as values, octets or built
//   build.h      the reader's driver over a builder of one's own (the Builder concept)
//   converter.h  convert_prefix: any representation to any other, with no Value in between
//   base64.h     the base-64 codec of RFC 4648
//   find.h       find, find_all: lists by their first element, as gcry_sexp_find_token finds them
//   match.h      Pattern, compile_pattern, match: parts of a value taken by a pattern, by name
//   gnupg.h      gnupg::read_key: GnuPG's secret key files, bare or in the name-value format
#pragma once

#include "tarnel/advanced.h"
#include "tarnel/base64.h"
#include "tarnel/build.h"
#include "tarnel/buffer.h"
#include "tarnel/canonical.h"
#include "tarnel/converter.h"
#include "tarnel/error.h"
#include "tarnel/find.h"
#include "tarnel/framer.h"
#include "tarnel/gnupg.h"
#include "tarnel/match.h"
#include "tarnel/options.h"
#include "tarnel/pretty.h"
#include "tarnel/reader.h"
#include "tarnel/result.h"
#include "tarnel/stream.h"
#include "tarnel/transport.h"
#include "tarnel/value.h"
