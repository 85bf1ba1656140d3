#!/usr/bin/env bash
# A private CUPS scheduler that touches nothing outside its own folder, for tests and the demo.
#
#   private-cupsd.sh start DIR [QUEUE...]   start it (as root), add the queues; prints the socket
#                                           to use as CUPS_SERVER. QUEUE is NAME (PDF driver),
#                                           NAME:ps (PostScript driver, fast) or NAME:raw
#   private-cupsd.sh stop DIR               stop it
#
# PRIVATE_CUPSD_ADDRESS sets the address it listens on besides its socket (default 127.0.0.1),
# PRIVATE_CUPSD_PORT the port (default: a free one, written to DIR/port).
#
# Queues print into /dev/null; the PDF and PostScript drivers make CUPS count the pages, a raw
# queue counts none.
#
# Its access policy is the one a Debian print server runs: every <Policy ...> block of the cups
# package's stock configuration (PRIVATE_CUPSD_STOCK_CONF, default
# /usr/share/cups/cupsd.conf.default, what Debian copies to /etc/cups/cupsd.conf) is taken
# verbatim when it starts, with the stock DefaultAuthType and the stock limits (MaxJobs 500,
# MaxEvents 100). Only what is not policy is ours: where it listens and logs, the page log,
# FileDevice, and a <Location /> that lets clients of other hosts in (tests reach it from network
# namespaces).
set -euo pipefail

cmd="${1:-}"
dir="${2:-}"
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR [QUEUE...]" >&2; exit 2; }
shift 2

case "$cmd" in
start)
  # Its queues are added by root as root: the stock policy wants an administrator authenticated
  # (PeerCred on the socket), which a CUPS_USER naming someone else (a test asking as an
  # ordinary user) would make impossible.
  unset CUPS_USER
  mkdir -p "$dir"
  dir="$(cd "$dir" && pwd)"
  b="$dir"
  mkdir -p "$b/etc/ppd" "$b/spool/tmp" "$b/cache" "$b/run" "$b/log"
  cat > "$b/etc/cups-files.conf" <<CONF
ServerRoot $b/etc
RequestRoot $b/spool
TempDir $b/spool/tmp
CacheDir $b/cache
StateDir $b/run
ErrorLog $b/log/error_log
AccessLog $b/log/access_log
PageLog $b/log/page_log
FileDevice Yes
User lp
Group lp
SystemGroup root
CONF
  stock="${PRIVATE_CUPSD_STOCK_CONF:-/usr/share/cups/cupsd.conf.default}"
  [ -r "$stock" ] || { echo "private-cupsd: $stock is missing: it holds the policy a real print server runs (package cups)" >&2; exit 1; }
  policies=$(awk '/^[[:space:]]*<Policy[[:space:]>]/ {p = 1} p {print} /^[[:space:]]*<\/Policy>/ {p = 0}' "$stock")
  grep -q '^[[:space:]]*<Policy default>' <<<"$policies" || { echo "private-cupsd: no <Policy default> in $stock" >&2; exit 1; }
  port="${PRIVATE_CUPSD_PORT:-}"
  if [ -z "$port" ]; then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  fi
  {
    cat <<CONF
LogLevel info
Listen $b/run/cups.sock
Listen ${PRIVATE_CUPSD_ADDRESS:-127.0.0.1}:$port
Browsing No
WebInterface No
DefaultAuthType Basic
<Location />
  Order allow,deny
  Allow all
</Location>
# The policies below are those of $stock, verbatim.
CONF
    printf '%s\n' "$policies"
  } > "$b/etc/cupsd.conf"
  echo "$port" > "$b/port"
  chown -R root:lp "$b"
  chmod 755 "$b"
  chmod 710 "$b/spool"
  chmod 1770 "$b/spool/tmp"
  cupsd -f -c "$b/etc/cupsd.conf" -s "$b/etc/cups-files.conf" </dev/null >>"$b/log/cupsd.out" 2>&1 &
  echo $! > "$b/pid"
  export CUPS_SERVER="$b/run/cups.sock"
  # Ready once a request sent to its socket gets a reply. What the CUPS tools print is not read:
  # they print it in the user's language, and "lpstat -r" exits 0 even without a scheduler.
  answers() {
    python3 - "$1" 2>/dev/null <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(2)
s.connect(sys.argv[1])
s.sendall(b"HEAD / HTTP/1.0\r\n\r\n")
sys.exit(0 if s.recv(1) else 1)
PY
  }
  for _ in $(seq 1 200); do
    if answers "$CUPS_SERVER"; then break; fi
    sleep 0.05
  done
  answers "$CUPS_SERVER" || { echo "private-cupsd: scheduler did not start" >&2; cat "$b/log/error_log" >&2 || true; exit 1; }
  for q in "$@"; do
    case "$q" in
      *:ps)  model=drv:///sample.drv/generic.ppd ;;
      *:raw) model=raw ;;
      *)     model=lsb/usr/cupsfilters/Generic-PDF_Printer-PDF.ppd ;;
    esac
    lpadmin -p "${q%%:*}" -E -v file:///dev/null -m "$model" 2>/dev/null
  done
  echo "$CUPS_SERVER"
  ;;
stop)
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$dir/pid"
  fi
  ;;
*)
  echo "usage: $0 start|stop DIR [QUEUE...]" >&2; exit 2 ;;
esac
