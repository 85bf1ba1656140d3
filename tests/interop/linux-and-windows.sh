#!/usr/bin/env bash
# The Linux build and the Windows build (under Wine) append to one data file while each purges it
# in turn: every record written is there exactly once and whole, and what the purges took is
# gone. Wine's file locks meet the Linux ones, so this tries the lock protocol between the two.
#   linux-and-windows.sh LINUX_WRITER LINUX_CTL WINDOWS_WRITER WINDOWS_CTL
set -euo pipefail
linux_writer=$1 linux_ctl=$2 windows_writer=$3 windows_ctl=$4
if [ ! -x "$linux_writer" ] || [ ! -x "$linux_ctl" ]; then
  echo "needs the Linux build ($linux_writer): build it first"
  exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/tessaroven-interop.XXXXXX")
trap 'rm -rf "$dir"' EXIT
data=$dir/data
mkdir "$data"
windows_data=$(winepath -w "$data")
file=$data/PrintData_shared@PC.dat
# Old records, 100 a month in the first half of 2006, for the purges to take.
python3 - "$file" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for m in range(1, 7):
        for i in range(100):
            f.write(b"%d,2006%02d%02d120000,Old,\\\\PC,shared,1,1\r\r\n" % (m * 1000 + i, m, i % 28 + 1))
PY
export TESSAROVEN_USER_REGISTRY=$dir/user.db TESSAROVEN_MACHINE_REGISTRY=$dir/machine.db
"$linux_writer" "$data" shared PC 100001 400 & linux=$!
# (Wine's processes get files of their own: a service one of them starts keeps what it inherits)
wine "$windows_writer" "$windows_data" shared PC 200001 400 </dev/null >"$dir/windows.out" 2>&1 &
windows=$!
sleep 0.3
for month in 1 2 3 4 5 6; do
  if [ $((month % 2)) = 1 ]; then
    "$linux_ctl" purge --through "2006-0$month" --data-dir "$data" >/dev/null
  else
    wine "$windows_ctl" purge --through "2006-0$month" --data-dir "$windows_data" </dev/null \
      >>"$dir/windows.out" 2>&1
  fi
  sleep 0.15
done
wait $linux
wait $windows || { cat "$dir/windows.out"; exit 1; }
# The last purge may have run before the writers ended: purge once more, after them.
"$linux_ctl" purge --through 2006-06 --data-dir "$data" >/dev/null
python3 - "$data" <<'PY'
import collections, os, re, sys
data = sys.argv[1]
names = sorted(os.listdir(data))
assert names == ["PrintData_shared@PC.dat"], names
raw = open(os.path.join(data, names[0]), "rb").read()
lines = raw.split(b"\r\r\n")
assert lines[-1] == b"", "the file does not end with a whole line"
ids = collections.Counter()
for line in lines[:-1]:
    assert re.fullmatch(rb"\d+,\d{14},[^,]*,[^,]*,shared,1,1", line), line
    ids[int(line.split(b",")[0])] += 1
written = set(range(100001, 100401)) | set(range(200001, 200401))
missing = written - set(ids)
twice = [i for i, n in ids.items() if n > 1]
left_old = [i for i in ids if i < 100000]
assert not missing, f"{len(missing)} records lost, e.g. {sorted(missing)[:5]}"
assert not twice, f"records twice: {twice[:5]}"
assert not left_old, f"purged records still there: {left_old[:5]}"
print(f"{len(ids)} records, each once and whole")
PY
