"""What every command group shares: the one-line error, the registry opener, safe
printing, tables and argument types."""

from __future__ import annotations

import argparse
import os

class CliError(Exception):
    """A failure the command reports as one line, with its exit status."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def _registry(path, create: bool = True, journal_dirs=()):
    from .trust.registry import RegistryError, TrustRegistry, is_database_url, registry_location

    where = path if path is not None else registry_location()
    try:
        return TrustRegistry(where, create=create, journal_dirs=journal_dirs)
    except RegistryError as exc:
        if not create and not is_database_url(where) and not os.path.lexists(where):
            raise CliError(f"no registry at {where}: no job has been recorded there") from None
        raise CliError(str(exc)) from None


def _shown(value, limit: int | None = 120) -> str:
    """A value from outside (the marketplace, the registry) made safe to print on one line:
    control characters, terminal escapes and lone surrogates written as escapes, at most
    `limit` characters."""
    from .ui.display import shown

    out = shown(value)
    return out if limit is None or len(out) <= limit else out[:limit] + "..."


def _table(rows, headers) -> None:
    rows = [[_shown(x) for x in row] for row in rows]
    widths = [max(len(x) for x in col) for col in zip(headers, *rows)]
    for row in [headers, *rows]:
        print("  ".join(x.ljust(w) for x, w in zip(row, widths)).rstrip())


def _at_least_one(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _one_line_usage(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    """Usage errors of `parser` as one line on stderr, exit status 2."""

    def error(message):
        parser.exit(2, f"{parser.prog}: error: {_shown(message, 500)} "
                       f"(see {parser.prog} --help)\n")

    parser.error = error
    return parser


JOB_STATUSES = ("running", "completed", "failed", "interrupted", "lost")


_REGISTRY_OPTION = ("registry file or postgresql:// URL (default: $CORVANE_REGISTRY, else a file "
                    "in the user's state directory)")


_JSON_OPTION = "print one JSON document (keys described in the README)"
