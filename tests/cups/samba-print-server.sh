#!/usr/bin/env bash
# A Windows computer prints through Samba to this computer's scheduler, as in an office: smbd with
# `printing = cups` in one network namespace (the print server, with a private cupsd and the
# counting service), the computer PC-ALICE in another (smbclient -n PC-ALICE -U alice, and nmbd
# answering for its NetBIOS name). Samba hands the scheduler the client's IP address; the record
# must name PC-ALICE and alice.
#
#   samba-print-server.sh MONITOR CTL SCRIPTS_DIR
#
# Root only (network namespaces, a scheduler, smbd); exits 77 (skipped) elsewhere, saying why.
# The user alice exists only in this test's private mount namespace. smbd and nmbd run in
# sessions of their own: at their end they signal their whole process group.
set -uo pipefail
monitor=${1:?monitor}; ctl=${2:?ctl}; scripts=${3:?scripts dir}
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (network namespaces, a private cupsd, smbd)"
for tool in /usr/sbin/smbd /usr/sbin/nmbd /usr/bin/smbclient /usr/bin/smbpasswd /usr/sbin/cupsd \
  /usr/sbin/ip /usr/bin/unshare; do
  [ -x "$tool" ] || skip "needs $tool (packages samba, smbclient, cups, iproute2)"
done

if [ -z "${TESSAROVEN_PRIVATE_MOUNTS:-}" ]; then
  exec unshare --mount --propagation private env TESSAROVEN_PRIVATE_MOUNTS=1 "$0" "$@"
fi

W=$(mktemp -d /tmp/tessaroven-samba.XXXXXX); chmod 755 "$W"
x=$(( $$ % 250 )); srv=tss$x; pc=tsp$x; net=10.233.$x
server=$net.1; client=$net.2
pids=()
cleanup() {
  # smbd starts helpers (samba-dcerpcd, samba-bgqd) that outlive it: everything in the two
  # namespaces is ours.
  for ns in "$srv" "$pc"; do
    pids+=($(ip netns pids "$ns" 2>/dev/null))
  done
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null
  done
  ip netns exec "$srv" "$scripts/private-cupsd.sh" stop "$W/cups" >/dev/null 2>&1
  ip netns del "$srv" 2>/dev/null; ip netns del "$pc" 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$W"/service.out "$W"/smb/log/*; do [ -f "$f" ] && { echo "== $f"; tail -n 15 "$f"; }; done; exit 1; }

# alice, in this mount namespace only; no DNS here, so that reverse lookups fail at once.
for f in passwd group shadow; do cp "/etc/$f" "$W/$f"; done
echo "alice:x:64123:64123:Alice:/nonexistent:/usr/sbin/nologin" >> "$W/passwd"
echo "alice:x:64123:" >> "$W/group"
echo "alice:!:19000:0:99999:7:::" >> "$W/shadow"
: > "$W/resolv.conf"
for f in passwd group shadow resolv.conf; do mount --bind "$W/$f" "/etc/$f" || skip "cannot bind-mount /etc/$f"; done

ip netns add "$srv" && ip netns add "$pc" || skip "cannot create a network namespace here"
ip link add "tsv$x" type veth peer name "tpv$x" || skip "cannot create a veth pair"
ip link set "tsv$x" netns "$srv"; ip link set "tpv$x" netns "$pc"
ip -n "$srv" addr add "$server/30" dev "tsv$x"; ip -n "$srv" link set "tsv$x" up; ip -n "$srv" link set lo up
ip -n "$pc" addr add "$client/30" dev "tpv$x"; ip -n "$pc" link set "tpv$x" up; ip -n "$pc" link set lo up

# The print server: a scheduler with a PostScript queue, smbd sharing it, the service.
sock=$(ip netns exec "$srv" "$scripts/private-cupsd.sh" start "$W/cups" Office:ps) || fail "cupsd did not start"
mkdir -p "$W/smb"/{private,lock,state,cache,pid,log,ncalrpc} "$W/spool" "$W/pc"/{private,lock,state,cache,pid,log}
chmod 1777 "$W/spool"
cat > "$W/smb/smb.conf" <<CONF
[global]
  workgroup = OFFICE
  netbios name = PRINTSRV
  server role = standalone server
  interfaces = $server/30
  bind interfaces only = yes
  disable netbios = yes
  disable spoolss = yes
  smb ports = 445
  private dir = $W/smb/private
  lock directory = $W/smb/lock
  state directory = $W/smb/state
  cache directory = $W/smb/cache
  pid directory = $W/smb/pid
  ncalrpc dir = $W/smb/ncalrpc
  log file = $W/smb/log/%m.log
  passdb backend = tdbsam:$W/smb/private/passdb.tdb
  printing = cups
  printcap name = cups
  cups server = $sock
  load printers = no
[Office]
  path = $W/spool
  printable = yes
  printer name = Office
CONF
printf 'secret\nsecret\n' | smbpasswd -c "$W/smb/smb.conf" -s -a alice >/dev/null || fail "smbpasswd"
setsid ip netns exec "$srv" smbd --foreground --no-process-group -s "$W/smb/smb.conf" >"$W/smb/log/smbd.out" 2>&1 &
pids+=($!)

mkdir -p "$W/machine" "$W/service"
svcenv=(CUPS_SERVER="$sock" TESSAROVEN_MACHINE_REGISTRY="$W/machine/machine.db"
  TESSAROVEN_COMMON_APPDATA="$W/machine" TESSAROVEN_SERVICE_LOCK="$W/machine/service.lock"
  TESSAROVEN_USER_REGISTRY="$W/service/user.db" XDG_STATE_HOME="$W/service" HOME="$W/service")
ip netns exec "$srv" env "${svcenv[@]}" "$monitor" --service >"$W/service.out" 2>&1 &
pids+=($!)

# The Windows computer: nmbd answers for PC-ALICE.
cat > "$W/pc/smb.conf" <<CONF
[global]
  workgroup = OFFICE
  netbios name = PC-ALICE
  interfaces = $client/30
  bind interfaces only = yes
  private dir = $W/pc/private
  lock directory = $W/pc/lock
  state directory = $W/pc/state
  cache directory = $W/pc/cache
  pid directory = $W/pc/pid
  log file = $W/pc/log/%m.log
CONF
setsid ip netns exec "$pc" nmbd --foreground --no-process-group -s "$W/pc/smb.conf" >"$W/pc/log/nmbd.out" 2>&1 &
pids+=($!)

for _ in $(seq 100); do
  ip netns exec "$pc" bash -c "exec 3<>/dev/tcp/$server/445" 2>/dev/null && break; sleep 0.1
done
for _ in $(seq 100); do
  ip netns exec "$pc" ss -Huln "sport = :137" 2>/dev/null | grep -q "$client" && break; sleep 0.1
done

cat > "$W/two.ps" <<'PS'
%!PS-Adobe-3.0
%%Pages: 2
%%EndComments
%%Page: 1 1
/Helvetica findfont 24 scalefont setfont 72 720 moveto (Page 1) show showpage
%%Page: 2 2
/Helvetica findfont 24 scalefont setfont 72 720 moveto (Page 2) show showpage
%%EOF
PS
chmod 644 "$W/two.ps"
ip netns exec "$pc" smbclient -n PC-ALICE -U alice%secret "//$server/Office" -c "print $W/two.ps" \
  >"$W/smbclient.out" 2>&1 || { cat "$W/smbclient.out"; fail "smbclient could not print"; }

records=""
for _ in $(seq 300); do
  records=$(TESSAROVEN_MACHINE_REGISTRY="$W/machine/machine.db" "$ctl" log --data-dir "$W/machine/Tessaroven" 2>/dev/null)
  [ -n "$records" ] && break
  sleep 0.1
done
echo "records: ${records:-none}"
[ -n "$records" ] || fail "no record within 30 s"
# One record: the queue, the computer by its NetBIOS name, alice, 2 pages.
[ "$(printf '%s\n' "$records" | wc -l)" = 1 ] || fail "expected one record"
case "$records" in
  *",Office,\\\\PC-ALICE,alice,2") echo "PASS: recorded as \\\\PC-ALICE, alice" ;;
  *) fail "expected Office,\\\\PC-ALICE,alice,2" ;;
esac
