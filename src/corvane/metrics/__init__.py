"""Exporting what the monitor sees to metrics systems."""
