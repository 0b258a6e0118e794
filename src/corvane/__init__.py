"""corvane: run machine-learning training on rented GPU machines and know when the
hardware can't be trusted."""

__version__ = "0.1.0"
