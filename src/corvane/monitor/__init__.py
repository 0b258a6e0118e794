"""Job monitoring; the work is done by the native module `corvane.monitor.monitoring`."""
