"""An indented, multi-line advanced layout of an S-expression, for people to read.

`to_pretty` writes every atom as `to_advanced` writes it and joins them with spaces and line
breaks only, so the text reads back to the same value. A list that fits in what is left of the line
(counting the closing parentheses that will follow it) is written on that line; otherwise its first
element follows the `(`, so do the atoms after a leading atom while they fit, and each further
element starts a line of its own, indented by `indent` from the `(`:

    (public-key
      (rsa
        (n #00c5a1...#)
        (e #010001#))
      (hash sha256
        #8c2574892063f995fdf756bce07f46c1a5193e54cd52837ed91e32008ccf41ac#))

Both passes (measuring, then writing) walk the value with explicit stacks, never recursing;
indentation stops growing at half the width so that deep trees give lines of bounded indentation
rather than output quadratic in the depth. Nesting is held to the limit of the module's writers,
so that what `to_advanced` refuses is refused here too, with the same `ValueError`, and what is
laid out reads back with `parse`; a list that contains itself is refused with `ValueError` as
well. `width` and `indent` are whole numbers (not bools or floats), refused as the module refuses
its own arguments: `TypeError` for the type, `ValueError` for the range.
"""

from __future__ import annotations

import operator
from typing import Any

from ._tarnel import to_advanced
from .types import SExpLike

#: How deeply lists may nest: the limit of the module's writers (`to_advanced` refuses a list
#: opened inside this many others, with the message below).
DEPTH_LIMIT = 1024
_TOO_DEEP = f"lists nested deeper than {DEPTH_LIMIT}"

#: Stack entries that close a list: in the measuring pass after its elements, in the writing pass
#: before the `)`.
_CLOSE = object()
#: A stack entry for the space between two elements on one line.
_SPACE = object()


def _measure(sexp: Any) -> tuple[dict[int, str], dict[int, int]]:
    """The advanced text of every atom and the one-line length of every list, keyed by `id`."""
    atoms: dict[int, str] = {}
    lengths: dict[int, int] = {}
    # How many lists deep each measured list goes (itself included): a list met again, deeper
    # than where it was measured, must still fit under the limit.
    heights: dict[int, int] = {}
    open_lists: set[int] = set()
    stack: list[Any] = [sexp]
    while stack:
        item = stack.pop()
        if item is _CLOSE:
            lst = stack.pop()
            total = 2 + max(len(lst) - 1, 0)
            height = 0
            for child in lst:
                if isinstance(child, (list, tuple)):
                    total += lengths[id(child)]
                    height = max(height, heights[id(child)])
                else:
                    total += len(atoms[id(child)])
            lengths[id(lst)] = total
            heights[id(lst)] = height + 1
            open_lists.discard(id(lst))
        elif isinstance(item, (list, tuple)):
            if id(item) in lengths:
                if len(open_lists) + heights[id(item)] > DEPTH_LIMIT:
                    raise ValueError(_TOO_DEEP)
                continue
            if id(item) in open_lists:
                raise ValueError("a list that contains itself has no written form")
            if len(open_lists) >= DEPTH_LIMIT:
                raise ValueError(_TOO_DEEP)
            open_lists.add(id(item))
            stack += (item, _CLOSE)
            stack.extend(reversed(item))
        elif id(item) not in atoms:
            atoms[id(item)] = to_advanced(item)
    return atoms, lengths


def _whole_number(value: Any, name: str, least: int) -> int:
    """`value` as an int of at least `least`. Like the module's own arguments it may be anything
    with `__index__`, but not a bool; a refusal carries the note the module adds to one."""
    try:
        if isinstance(value, bool):
            raise TypeError(f"{name} must be an integer, not bool")
        number = operator.index(value)
        if number < least:
            raise ValueError(f"{name} must be at least {least}, not {number}")
    except (TypeError, ValueError) as err:
        if hasattr(err, "add_note"):
            err.add_note(f"while processing '{name}'")
        raise
    return number


def _one_line(sexp: Any, atoms: dict[int, str]) -> list[str]:
    """The pieces of the single-line text of a value, with one space between elements."""
    pieces: list[str] = []
    stack: list[Any] = [sexp]
    while stack:
        item = stack.pop()
        if item is _CLOSE:
            pieces.append(")")
        elif isinstance(item, (list, tuple)):
            pieces.append("(")
            stack.append(_CLOSE)
            for i in range(len(item) - 1, -1, -1):
                stack.append(item[i])
                if i:
                    stack.append(_SPACE)
        elif item is _SPACE:
            pieces.append(" ")
        else:
            pieces.append(atoms[id(item)])
    return pieces


def to_pretty(sexp: SExpLike, *, width: int = 72, indent: int = 2) -> str:
    """Returns the advanced representation of the S-expression laid out over indented lines.

    Lists that fit within `width` columns stay on one line; the text reads back to the same value."""
    width = _whole_number(width, "width", 1)
    indent = _whole_number(indent, "indent", 0)
    atoms, lengths = _measure(sexp)
    max_indent = width // 2
    out: list[str] = []
    column = 0
    # Entries: (value, closers) to write a value followed on its line by `closers` parentheses;
    # an int n to break the line and indent to column n; _CLOSE for a `)`, _SPACE for a space.
    stack: list[Any] = [(sexp, 0)]
    while stack:
        entry = stack.pop()
        if entry is _CLOSE or entry is _SPACE:
            out.append(")" if entry is _CLOSE else " ")
            column += 1
            continue
        if isinstance(entry, int):
            column = min(entry, max_indent)
            out.append("\n" + " " * column)
            continue
        item, closers = entry
        if not isinstance(item, (list, tuple)):
            text = atoms[id(item)]
            out.append(text)
            column += len(text)
        elif column + lengths[id(item)] + closers <= width or not item:
            out += _one_line(item, atoms)
            column += lengths[id(item)]
        else:
            start = column
            last = len(item) - 1
            # Atoms after a leading atom stay on the first line while they fit there.
            line = 1
            if not isinstance(item[0], (list, tuple)):
                end = start + 1 + len(atoms[id(item[0])])
                while line <= last and not isinstance(item[line], (list, tuple)):
                    end += 1 + len(atoms[id(item[line])])
                    if end + (closers + 1 if line == last else 0) > width:
                        break
                    line += 1
            out.append("(")
            column += 1
            stack.append(_CLOSE)
            for i in range(last, 0, -1):
                stack.append((item[i], closers + 1 if i == last else 0))
                stack.append(start + indent if i >= line else _SPACE)
            stack.append((item[0], closers + 1 if last == 0 else 0))
    return "".join(out)
