#!/usr/bin/env bash
# The Linux build and the Windows build (under Wine) append to one data file while each purges it
# in turn: every record written is there exactly once and whole, and what the purges took is
# gone. Wine's file locks meet the Linux ones, so this tries the lock protocol between the two.
# Windows runs in a Japanese locale: its records are in code page 932, the Linux ones in UTF-8,
# and both sides total them as one printer and one user.
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
file=$data/PrintData_山田@PC.dat
# A Japanese Windows: Wine takes its code page from the Linux locale, compiled here if missing.
mkdir "$dir/locales"
localedef -i ja_JP -f UTF-8 "$dir/locales/ja_JP.UTF-8" >/dev/null 2>&1 || true
japanese=(env LOCPATH="$dir/locales" LANG=ja_JP.UTF-8 LC_ALL=)
# Old records, 100 a month in the first half of 2006, for the purges to take.
python3 - "$file" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for m in range(1, 7):
        for i in range(100):
            f.write(b"%d,2006%02d%02d120000,Old,\\\\PC,shared,1,1\r\r\n" % (m * 1000 + i, m, i % 28 + 1))
PY
export TESSAROVEN_USER_REGISTRY=$dir/user.db TESSAROVEN_MACHINE_REGISTRY=$dir/machine.db
"$linux_writer" "$data" 山田 PC 100001 400 & linux=$!
# (Wine's processes get files of their own: a service one of them starts keeps what it inherits)
"${japanese[@]}" wine "$windows_writer" "$windows_data" 山田 PC 200001 400 </dev/null \
  >"$dir/windows.out" 2>&1 &
windows=$!
sleep 0.3
for month in 1 2 3 4 5 6; do
  if [ $((month % 2)) = 1 ]; then
    "$linux_ctl" purge --through "2006-0$month" --data-dir "$data" >/dev/null
  else
    "${japanese[@]}" wine "$windows_ctl" purge --through "2006-0$month" --data-dir "$windows_data" </dev/null \
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
assert names == ["PrintData_山田@PC.dat"], names
raw = open(os.path.join(data, names[0]), "rb").read()
lines = raw.split(b"\r\r\n")
assert lines[-1] == b"", "the file does not end with a whole line"
ids = collections.Counter()
printer, user = "経理プリンタ", "山田"
for line in lines[:-1]:
    job = int(line.split(b",")[0])
    # Each side's records in its own encoding, kept as they are by every purge.
    codeset = "cp932" if job > 200000 else "utf-8"
    fields = rb"\d+,\d{14},%s,[^,]*,%s,1,1" % (re.escape(printer.encode(codeset)),
                                              re.escape(user.encode(codeset)))
    assert job < 100000 or re.fullmatch(fields, line), line
    ids[job] += 1
written = set(range(100001, 100401)) | set(range(200001, 200401))
missing = written - set(ids)
twice = [i for i, n in ids.items() if n > 1]
left_old = [i for i in ids if i < 100000]
assert not missing, f"{len(missing)} records lost, e.g. {sorted(missing)[:5]}"
assert not twice, f"records twice: {twice[:5]}"
assert not left_old, f"purged records still there: {left_old[:5]}"
print(f"{len(ids)} records, each once and whole")
PY
# One printer, one user, whichever side wrote the line, and both programs say so alike.
month=$(date +%Y-%m)
"$linux_ctl" totals --printer 経理プリンタ --month "$month" --by user --data-dir "$data" \
  >"$dir/linux-totals"
"${japanese[@]}" wine "$windows_ctl" totals --printer 経理プリンタ --month "$month" --by user \
  --data-dir "$windows_data" </dev/null >"$dir/windows-totals" 2>>"$dir/windows.out"
grep -q "^  山田 .*\[  800枚\]" "$dir/linux-totals" || { cat "$dir/linux-totals"; exit 1; }
[ "$(grep -c 山田 "$dir/linux-totals")" = 1 ] || { cat "$dir/linux-totals"; exit 1; }
cmp "$dir/linux-totals" "$dir/windows-totals" || { cat "$dir/windows-totals"; exit 1; }
