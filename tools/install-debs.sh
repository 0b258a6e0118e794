#!/bin/sh
# Installs the Debian packages named that are missing, without their recommends.
#   tools/install-debs.sh [--servers] PACKAGE...
# With --servers (the engines the tests start themselves: PostgreSQL, Prometheus, Slurm...),
# nothing the install brings is started, and every service it enabled is disabled again:
# a GPU node that runs the tests must not end up running a Slurm or a Prometheus.
set -eu
servers=0
if [ "${1:-}" = "--servers" ]; then servers=1; shift; fi
missing=""
for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"; done
[ -n "$missing" ] || exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "installing Debian packages (no recommends):$missing"

policy=${CORVANE_POLICY_RC_D:-/usr/sbin/policy-rc.d}  # another path only in tests
placed=0
if [ $servers = 1 ]; then
  before=$(mktemp)
  trap 'rm -f "$before"; [ $placed = 0 ] || $SUDO rm -f $policy' EXIT
  dpkg-query -W -f '${Package}\n' | sort >"$before"
  # A policy already there is the machine owner's and stays; ours refuses every start.
  if [ ! -e $policy ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee $policy >/dev/null
    $SUDO chmod 755 $policy
    placed=1
  fi
fi

$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing

[ $servers = 1 ] || exit 0
# The services shipped by every package this install added (dependencies included).
new=$(dpkg-query -W -f '${Package}\n' | sort | comm -13 "$before" -)
for pkg in $new; do
  dpkg -L "$pkg" 2>/dev/null |
    sed -n -e 's#^\(/usr\)\{0,1\}/lib/systemd/system/\([^/@]*\)\.service$#\2#p' \
      -e 's#^/etc/init\.d/\([^/]*\)$#\1#p'
done | sort -u | while read -r svc; do
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl disable --quiet "$svc" 2>/dev/null || true
  fi
  # Without systemd the runlevel links are what would start it at boot.
  if [ -e "/etc/init.d/$svc" ] && command -v update-rc.d >/dev/null 2>&1; then
    $SUDO update-rc.d "$svc" disable >/dev/null 2>&1 || true
  fi
  echo "  service $svc: not started, disabled"
done
