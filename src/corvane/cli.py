"""corvane runs machine-learning training on rented GPU machines, watches the job and the
hardware while it runs, and remembers which machines failed, so that the next job runs on
one that didn't."""

from __future__ import annotations

import argparse
import logging
import os
import sys

from . import __version__, cli_fleet, cli_monitor, cli_vast
from .cli_common import CliError, _shown
from .config import ConfigError

__all__ = ["CliError", "build_parser", "main"]


_REGISTRY_HELP = """\
The registry (jobs, findings, node trust) is a SQLite file by default; --registry or
$CORVANE_REGISTRY may name another file or a PostgreSQL database shared by many machines
(postgresql://USER@HOST/DB, or postgresql:///DB?host=/run/postgresql for a local socket).
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvane", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=_REGISTRY_HELP)
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, title="commands",
                                metavar="COMMAND")

    cli_monitor.add_parsers(sub)  # monitor, agent, findings
    cli_fleet.add_parsers(sub)  # jobs, trust, profile
    cli_vast.add_parsers(sub)
    cli_fleet.add_config_parser(sub)
    return parser


class _ShownLog(logging.StreamHandler):
    """The package's warnings on stderr, as the host's last-resort handler shows them, with
    what they quote from outside (a hook line, a tool's answer, a file name) escaped."""

    @property
    def stream(self):
        return sys.stderr  # looked up at each record, as the last-resort handler does

    @stream.setter
    def stream(self, _value):
        pass

    def format(self, record):
        from .ui.display import shown

        return shown(super().format(record))


def _show_logs_escaped() -> None:
    log = logging.getLogger("corvane")
    if not any(isinstance(h, _ShownLog) for h in log.handlers):
        handler = _ShownLog()
        handler.setLevel(logging.WARNING)
        log.addHandler(handler)


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    _show_logs_escaped()
    try:
        return args.func(args)
    except ConfigError as exc:
        # One line, whatever the file's name or a parser's message holds.
        print("corvane: " + _shown(" ".join(str(exc).splitlines()), None), file=sys.stderr)
        return 2
    except CliError as exc:
        print(f"corvane: {_shown(exc, None)}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # The reader went away (`corvane findings | head -1`): end quietly, as Unix tools do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except Exception as exc:  # noqa: BLE001 - every failure is one line
        if os.environ.get("CORVANE_DEBUG"):
            raise
        text = str(exc).splitlines()[0] if str(exc) else ""
        print(f"corvane: {type(exc).__name__}{': ' + _shown(text, None) if text else ''} "
              "(set CORVANE_DEBUG=1 for the traceback)", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
