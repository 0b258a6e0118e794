"""What the package knows about nodes and GPUs: the registry and the baselines."""
