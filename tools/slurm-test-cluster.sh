#!/bin/sh
# A two-node Slurm cluster (n1, n2) on this machine, in a temporary directory, until Ctrl-C.
# Needs root and Debian's slurm-wlm and munge. Prints the SLURM_CONF to export in another shell.
here=$(cd "$(dirname "$0")/.." && pwd)
py="$here/.venv/bin/python"
[ -x "$py" ] || py=python3
exec "$py" "$here/tests/slurm_cluster.py" "$@"
