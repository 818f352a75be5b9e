// The stream reader of the module `tarnel._streaming`: the S-expressions of a stream, one after
// another, as Python values or in one representation's octets, with the octets pulled from a
// callable in pieces or read in place from one buffer.
//
// An adapter over the core's stream engine (tarnel/stream.h), which finds where each S-expression
// ends and reads each once: this unit feeds it Python's pieces (bytes from `chunks()`, or one
// buffer held in place), builds Python objects with the binding's builder, hands converted output
// to a writer as memoryviews, refuses a callback that re-enters the reader, and raises ParseError
// for the engine's refusals. The options come from a `tarnel.Parser`; offsets of every refusal
// count from the stream's start.
#pragma once

#include <Python.h>

namespace tarnel::py {

/// The interpreter's Reader class (borrowed), made at first use; null with an exception set.
PyObject* stream_reader_type() noexcept;

}  // namespace tarnel::py
