"""Fault injection: rehearse the monitor's reactions without broken hardware."""

from .engine import InjectionEngine, engine  # noqa: F401
