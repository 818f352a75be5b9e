// The stream reader of the module `tarnel._streaming`: the S-expressions of a stream, one after
// another, as Python values or in one representation's octets, with the octets pulled from a
// callable in pieces or read in place from one buffer.
//
// The framer (decode/framer) finds where each S-expression ends; each is then read once, from
// octets held in place (the piece it arrived in) wherever it lies in one piece, and from a buffer
// of the octets since its start where it spans several. Where a piece holds whole S-expressions
// they are read straight away, and the framer only follows the one that the piece cuts. The
// options come from a `tarnel.Parser`; offsets of every refusal count from the stream's start.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// The interpreter's Reader class (borrowed), made at first use; null with an exception set.
PyObject* stream_reader_type() noexcept;

}  // namespace tarnel::py
