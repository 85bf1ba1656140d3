#!/usr/bin/env bash
# systemd-analyze verify on the service's unit, with ExecStart pointed at the program just built
# (the unit names /usr/bin/tessaroven, which only the package installs). Exits 77 (skipped)
# where systemd is not installed.
#   verify-unit.sh UNIT PROGRAM
set -uo pipefail
unit=${1:?unit}; program=$(readlink -f "${2:?program}")
command -v systemd-analyze >/dev/null || { echo "SKIP: needs systemd-analyze (package systemd)"; exit 77; }
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=/usr/bin/tessaroven|ExecStart=$program|" "$unit" > "$dir/tessaroven.service"
grep -q "^ExecStart=$program --service\$" "$dir/tessaroven.service" || { echo "FAIL: no ExecStart to point"; exit 1; }
out=$(systemd-analyze verify --man=no "$dir/tessaroven.service" 2>&1); rc=$?
echo "$out"
[ $rc = 0 ] && [ -z "$out" ] || { echo "FAIL: systemd-analyze verify"; exit 1; }
# The sandbox it promises: nothing of it may go missing unnoticed.
for line in 'ProtectSystem=strict' 'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectHome=yes' \
  'CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_KILL' 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK' 'Restart=on-failure'; do
  grep -qx "$line" "$unit" || { echo "FAIL: $line missing"; exit 1; }
done
echo "PASS: $(systemd-analyze security --offline=yes "$dir/tessaroven.service" 2>/dev/null | tail -n 1)"
