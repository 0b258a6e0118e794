"""Recovery command templates: placeholders filled so that no value becomes shell syntax.

A template is a /bin/sh command with placeholders ({checkpoint}, {node}, ...). Each value
goes in as one shell word, quoted by us, which is safe only where the shell reads a bare
word: not inside quotes (inside double quotes `$(...)` in a value would run), not in
backquotes, after a backslash, inside `${...}` or in a here-document. A template with a
placeholder in such a place is refused with the reason, before anything runs; so is a
placeholder with a conversion or format (`{node!r}` would put its own quotes around the
value).
"""

from __future__ import annotations

import shlex
import string
from collections.abc import Mapping

_WHY = {
    "'": "inside single quotes",
    '"': "inside double quotes",
    "`": "inside backquotes",
    "${": "inside ${...}",
    "$'": "inside $'...'",
}


class _Lexer:
    """Follows where the shell is in the template's own text: which quotes or
    substitutions are open, whether a backslash escapes the next character, whether a
    here-document began."""

    def __init__(self):
        self.open: list[str] = []  # "'", '"', "`", "$(", "${", "$'"
        self.escaped = False
        self.heredoc = False

    def feed(self, text: str) -> None:
        i = 0
        while i < len(text):
            c, top = text[i], (self.open[-1] if self.open else None)
            nxt = text[i + 1] if i + 1 < len(text) else ""
            i += 1
            if self.escaped:
                self.escaped = False
                continue
            if top == "'":
                if c == "'":
                    self.open.pop()
                continue
            if c == "\\":
                self.escaped = True
            elif top == "$'":
                if c == "'":
                    self.open.pop()
            elif c == "`":
                if top == "`":
                    self.open.pop()
                else:
                    self.open.append("`")
            elif top == '"':
                if c == '"':
                    self.open.pop()
                elif c == "$" and nxt in "({":
                    self.open.append("$" + nxt)
                    i += 1
            elif c == "'":
                self.open.append("'")
            elif c == '"':
                self.open.append('"')
            elif c == "$" and nxt in "({'":
                self.open.append("$" + nxt)
                i += 1
            elif c == ")" and top == "$(":
                self.open.pop()
            elif c == "}" and top == "${":
                self.open.pop()
            elif c == "<" and nxt == "<":
                self.heredoc = True
                i += 1

    def why_not_bare(self) -> str | None:
        """Why a value cannot stand here as one quoted word; None when it can."""
        if self.escaped:
            return "after a backslash"
        if self.heredoc:
            return "in a here-document"
        for mark in reversed(self.open):
            if mark != "$(":  # a command substitution is read like a command line
                return _WHY[mark]
        return None


def template_problem(template: str, fields) -> str | None:
    """Why `template` cannot be filled safely with values for `fields`; None when it can."""
    known = ", ".join("{" + name + "}" for name in fields)
    expected = f"a command using only the placeholders {known} (write {{{{ and }}}} for a brace)"
    lexer = _Lexer()
    try:
        for literal, name, spec, conversion in string.Formatter().parse(template):
            lexer.feed(literal)
            if name is None:
                continue
            if name not in fields:
                return f"{expected}; {{{name}}} is not one"
            if spec or conversion:
                return (f"{expected}, each bare: {{{name}}} takes no conversion or format "
                        "(corvane quotes every value itself)")
            why = lexer.why_not_bare()
            if why is not None:
                return (f"{expected}, each where the shell reads a bare word: {{{name}}} stands "
                        f"{why}, where a value could become shell syntax (write it unquoted: "
                        "corvane quotes every value itself)")
    except ValueError:
        return expected
    return None


def fill_template(template: str, values: Mapping[str, str], raw: tuple[str, ...] = ()) -> str:
    """`template` with each placeholder replaced by its value as one shell word; the names
    in `raw` hold shell text already quoted by us (a job's command) and go in as they are.
    Raises ValueError for a template `template_problem` refuses."""
    problem = template_problem(template, tuple(values))
    if problem is not None:
        raise ValueError(problem)
    return template.format(**{k: v if k in raw else shlex.quote(v) for k, v in values.items()})
