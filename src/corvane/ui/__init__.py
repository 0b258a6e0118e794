"""Console output."""
