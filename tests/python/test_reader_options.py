"""The one table of reader options (`tarnel._streaming.READER_OPTIONS`): Parser's keywords, the
options `parser_options` gives back and the command's flags are all made from it, so each option
must reach each of them alike, with the same default."""

import inspect

from tarnel import Parser
from tarnel.__main__ import _reader_parser, build_argument_parser
from tarnel._streaming import READER_OPTIONS, parser_options

# A value other than the default, for each type of option.
OTHER = {"count": 7, "limit": 5, "flag": False}


def command_flag(name, kind, value):
    if kind == "flag":
        return ["--no-" + name.removeprefix("allow_").replace("_", "-")]
    return ["--" + name.replace("_", "-"), str(value)]


def test_parser_keywords_and_defaults_are_the_tables():
    parameters = inspect.signature(Parser).parameters
    assert list(parameters) == ["canonical"] + [name for name, *_ in READER_OPTIONS]
    defaults = {name: default for name, _, default, _ in READER_OPTIONS}
    assert parser_options(Parser()) == defaults
    for name, kind, default, _ in READER_OPTIONS:
        shown = parameters[name].default
        assert shown == (Ellipsis if kind == "count" else default), name
        assert (default is None) == (kind == "limit")


def test_each_option_reaches_the_parser_from_a_keyword_and_from_the_command():
    ap = build_argument_parser()
    shown = " ".join(ap.format_help().split())
    defaults = parser_options(_reader_parser(ap.parse_args([])))
    assert defaults == parser_options(Parser())
    for name, kind, _, about in READER_OPTIONS:
        value = OTHER[kind]
        from_keyword = parser_options(Parser(**{name: value}))
        from_command = parser_options(_reader_parser(ap.parse_args(command_flag(name, kind, value))))
        assert from_keyword == from_command == dict(defaults, **{name: value}), name
        assert " ".join(command_flag(name, kind, "N")) in shown
        assert about in shown
