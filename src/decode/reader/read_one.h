// The reader's entry point below `read_whole` and `read_prefix`: one S-expression at a cursor
// that the caller keeps, for reading several from one input.
#pragma once

#include "tarnel/error.h"
#include "tarnel/octet_string.h"
#include "tarnel/result.h"
#include "tarnel/value.h"

namespace tarnel {

/// Reads one S-expression at the cursor (leading whitespace skipped where allowed).
Result<Value, ReadError> read_one(ReadCursor& cursor);

}  // namespace tarnel
