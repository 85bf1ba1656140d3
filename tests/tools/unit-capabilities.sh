#!/usr/bin/env bash
# Runs the page counter's sandbox tests as root with only the capabilities the service's unit
# leaves it (CapabilityBoundingSet) and no new privileges, as systemd would start it: the
# interpreter must still run as nobody, be killed on time, count, and get no socket (the unit's
# RestrictNamespaces=yes, which setpriv cannot impose, leaves it no network namespace:
# Sandbox.TheChildHasNoNetwork checks the filter alone as well). Exits 77 (skipped) where this is
# not root or setpriv is missing.
#   unit-capabilities.sh UNIT PAGECOUNT_TESTS
set -uo pipefail
unit=${1:?unit}; tests=${2:?pagecount tests}
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root (the service runs as root)"; exit 77; }
command -v setpriv >/dev/null || { echo "SKIP: needs setpriv (package util-linux)"; exit 77; }
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
set=-all
for c in $caps; do c=${c#CAP_}; set+=",+${c,,}"; done
echo "bounding set: $set"
exec setpriv --bounding-set "$set" --inh-caps=-all --no-new-privs "$tests"
