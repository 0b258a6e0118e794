"""GPU providers: the framework and its adapters."""
