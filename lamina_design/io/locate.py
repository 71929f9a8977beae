"""Where each key of a TOML design or targets file is written, for messages that name the line.

A single pass over the text, each character looked at a bounded number of times: the file may be
large and hostile, and the lines are only needed for messages. The pass also counts what would
make the full parse slow (tables, array items, tokens) and stops at the first count over its
limit, so such a file is refused in about a second instead of parsed for minutes.
"""
from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, Optional, Tuple, Union

from lamina_design.core.limits import MAX_DEPTH, MAX_LAYERS, MAX_POINTS, MAX_TOKENS

__all__ = ["BARE_KEY", "KeyPath", "LocatedText", "Scanner", "dotted"]

#: A key's place in the document: table names and array-of-tables indices (0-based).
KeyPath = Tuple[Union[str, int], ...]

_BLANK = re.compile(r"[ \t\r\n]*")
_SPACE = re.compile(r"[ \t\r]*")
BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
_BASIC = re.compile(r'"(?:[^"\\\n]|\\.)*"?')
_LITERAL = re.compile(r"'[^'\n]*'?")
_VALUE_STOP = re.compile(r"[\"'#\[\]{}\n]")
# Inside brackets a newline does not end the value: the lines of a long array are counted in C.
_NESTED_STOP = re.compile(r"[\"'#\[\]{}]")
_ESCAPES = {"b": "\b", "t": "\t", "n": "\n", "f": "\f", "r": "\r", '"': '"', "\\": "\\"}
_ESCAPE = re.compile(r"\\(?:u([0-9A-Fa-f]{4})|U([0-9A-Fa-f]{8})|(.))", re.DOTALL)


def _unescape(body: str) -> str:
    def one(match: "re.Match[str]") -> str:
        code = match.group(1) or match.group(2)
        if code:
            try:
                return chr(int(code, 16))
            except ValueError:
                return ""
        return _ESCAPES.get(match.group(3), match.group(3))

    return _ESCAPE.sub(one, body)


class _Refused(Exception):
    """A count over its limit: (line, message without the file)."""


class Scanner:
    """The line of every table header and key of a TOML text; ``refusal`` is the first count
    over its limit (line, message), after which the scan stops."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0
        self.line = 1
        self.lines: Dict[KeyPath, int] = {}
        self.refusal: Optional[Tuple[int, str]] = None
        self.tokens = 0
        try:
            self._scan()
        except _Refused as refused:
            self.refusal = refused.args[0]

    def _token(self) -> None:
        self.tokens += 1
        if self.tokens > MAX_TOKENS:
            raise _Refused((self.line, f"more than {MAX_TOKENS} keys, tables, strings and comments: too many for "
                                       f"a design or targets file"))

    def _scan(self) -> None:
        text = self.text
        table: KeyPath = ()
        counts: Dict[KeyPath, int] = {}
        n = len(text)
        while self.pos < n:
            blank = _BLANK.match(text, self.pos).end()  # type: ignore[union-attr]
            self.line += text.count("\n", self.pos, blank)
            self.pos = blank
            if self.pos >= n:
                break
            self._token()
            c = text[self.pos]
            if c == "#":
                self._to_line_end()
            elif c == "[":
                double = text.startswith("[[", self.pos)
                self.pos += 2 if double else 1
                names = self._key()
                if double:
                    counts[names] = counts.get(names, -1) + 1
                    table = names + (counts[names],)
                    if counts[names] >= MAX_LAYERS:
                        raise _Refused((self.line, f"{dotted(table)}: at most {MAX_LAYERS} "
                                                   f"[[{dotted(names)}]] tables allowed"))
                else:
                    table = names
                self.lines.setdefault(table, self.line)
                self._to_line_end()
            else:
                names = self._key()
                if not names:
                    self._to_line_end()
                    continue
                self.lines.setdefault(table + names, self.line)
                self._value(table + names)

    def _to_line_end(self) -> None:
        end = self.text.find("\n", self.pos)
        self.pos = len(self.text) if end < 0 else end

    def _key(self) -> KeyPath:
        """A dotted key at pos (bare or quoted parts); stops before '=' or ']'."""
        text, parts = self.text, []
        while True:
            self.pos = _SPACE.match(text, self.pos).end()  # type: ignore[union-attr]
            c = text[self.pos] if self.pos < len(text) else ""
            if c == '"':
                match = _BASIC.match(text, self.pos)
                assert match is not None
                parts.append(_unescape(match.group()[1:-1]))
            elif c == "'":
                match = _LITERAL.match(text, self.pos)
                assert match is not None
                parts.append(match.group()[1:-1])
            else:
                match = BARE_KEY.match(text, self.pos)
                if match is None:
                    return tuple(parts)
                parts.append(match.group())
            self.pos = match.end()
            self.pos = _SPACE.match(text, self.pos).end()  # type: ignore[union-attr]
            if not text.startswith(".", self.pos):
                return tuple(parts)
            self.pos += 1
            self._token()

    def _closing(self, quote: str, start: int) -> int:
        """The end of a multi-line string whose body starts at `start`."""
        text, at = self.text, start
        while True:
            found = text.find(quote, at)
            if found < 0:
                return len(text)
            if quote == '"""':
                slashes = 0
                while found - slashes - 1 >= start and text[found - slashes - 1] == "\\":
                    slashes += 1
                if slashes % 2:
                    at = found + 1
                    continue
            end = found + 3
            for _ in range(2):  # up to two quotes may end the body
                if text.startswith(quote[0], end):
                    end += 1
            return end

    def _value(self, key: KeyPath) -> None:
        """Skip the value after a key, over strings, comments and multi-line arrays, counting
        its items (the commas outside strings and comments)."""
        text, depth, items, line = self.text, 0, 0, self.line
        while True:
            match = (_NESTED_STOP if depth > 0 else _VALUE_STOP).search(text, self.pos)
            stop = len(text) if match is None else match.start()
            if depth > 0:
                items += text.count(",", self.pos, stop)
                self.line += text.count("\n", self.pos, stop)
                if items > MAX_POINTS:
                    raise _Refused((line, f"{dotted(key)}: more than {MAX_POINTS} items in one array"))
            self.pos = stop
            if match is None:
                return
            c = match.group()
            if c == "\n":
                return
            self._token()
            if c == "#":
                self._to_line_end()
            elif c in "[{":
                depth += 1
                if depth > MAX_DEPTH:
                    raise _Refused((self.line, f"arrays or inline tables nested deeper than {MAX_DEPTH} levels"))
                self.pos += 1
            elif c in "]}":
                depth -= 1
                self.pos += 1
            elif text.startswith(c * 3, self.pos):
                end = self._closing(c * 3, self.pos + 3)
                self.line += text.count("\n", self.pos, end)
                self.pos = end
            else:
                string = (_BASIC if c == '"' else _LITERAL).match(text, self.pos)
                assert string is not None
                self.pos = string.end()


def dotted(path: KeyPath) -> str:
    out = ""
    for part in path:
        out += f"[{part + 1}]" if isinstance(part, int) else (f".{part}" if out else part)
    return out


class LocatedText:
    """Lines of a file already read without error, for messages after the fact."""

    def __init__(self, path: Path) -> None:
        self.path = path
        try:
            self.lines: Dict[KeyPath, int] = Scanner(path.read_text(encoding="utf-8")).lines
        except (OSError, ValueError):
            self.lines = {}

    def place(self, where: KeyPath) -> str:
        for size in range(len(where), 0, -1):
            if where[:size] in self.lines:
                return f"{self.path}:{self.lines[where[:size]]}"
        return str(self.path)
