"""Recovery planning and execution after hardware faults."""

from . import remediation  # noqa: F401  (the monitor reads `corvane.health.remediation`)
