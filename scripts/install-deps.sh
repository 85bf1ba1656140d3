#!/usr/bin/env bash
# Installs the Debian packages that building and testing Tessaroven need. Safe to run again:
# it installs only what is missing and never asks a question.
#
#   --fuzz          also what the fuzz targets need (clang with libFuzzer and the sanitizers).
#   --windows       also the mingw-w64 cross compiler, Wine and what the Windows build's
#                   libraries are built from (Debian's source packages: deb-src is added
#                   for the main archive when missing).
#   --print-server  also Samba and its client, for the test of Windows computers printing
#                   through a print server, and systemd-analyze for the service's unit (CI). Not by default: installing samba starts its
#                   file server on a desktop.
set -euo pipefail

packages=(
  g++
  cmake
  ninja-build
  pkg-config
  libsqlite3-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libcups2-dev
  # PDF documents of raw print jobs are counted with qpdf
  libqpdf-dev
  qt6-base-dev
  qt6-svg-dev
  libqt6svg6
  # the bar charts of the print totals window
  qt6-charts-dev
  libqt6opengl6-dev
  libqt6charts6
  libgl-dev
  # Japanese captions need a font that has them, and Qt's own dialogs and buttons its Japanese
  # translations
  fonts-noto-cjk
  qt6-translations-l10n
  # a private CUPS scheduler for the end-to-end tests and the demo, with page counting
  cups
  cups-client
  cups-ipp-utils
  cups-filters
  iproute2
  ghostscript
  # Debian's printer drivers: the page counters are tested on the printer data they make
  printer-driver-gutenprint
  printer-driver-hpcups
  printer-driver-foo2zjs
  printer-driver-splix
  printer-driver-escpr
  printer-driver-ptouch
  printer-driver-pxljr
  printer-driver-brlaser
  printer-driver-oki
  printer-driver-c2esp
  printer-driver-min12xxw
  printer-driver-m2300w
  printer-driver-sag-gdi
  printer-driver-fujixerox
  # ppdc compiles CUPS's own sample drivers (rastertoepson) to PPDs
  cups-ppdc
  # the PPDs of foomatic's drivers (min12xxw's PagePro among them)
  foomatic-db-compressed-ppds
  # the scheduler script picks a free port, the benchmarks generate data
  python3
  # the sources of en_US.UTF-8, which a report test builds to sort under it
  locales
  # the Debian package (scripts/package): debhelper, manual pages from --help, its checks
  debhelper
  dpkg-dev
  help2man
  lintian
)
if [ "${1:-}" = --print-server ]; then
  # systemd: systemd-analyze checks the service's unit
  packages+=(samba smbclient systemd)
fi

windows=0
if [ "${1:-}" = --windows ]; then
  windows=1
  # only what the Windows build needs: nothing of the Linux build's list
  # gcc, make and tcl generate SQLite's one-file source
  packages=(cmake ninja-build dpkg-dev g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest
            wine64 wine gcc make tcl
            # the installer; a display, a tray host and Japanese fonts for the windows' tests
            nsis xvfb x11-utils xdotool imagemagick trayer fonts-noto-cjk)
fi

if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
needs_sources=0
if [ $windows = 1 ] && ! apt-get source --print-uris qpdf >/dev/null 2>&1; then
  needs_sources=1
fi
[ ${#missing[@]} -eq 0 ] && [ $needs_sources = 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
if [ $needs_sources = 1 ]; then
  # The same archives as the binary packages, for their source packages.
  echo "install-deps: adding Debian's source package lists"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    "${sudo[@]}" sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
  done
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo[@]}" tee /etc/apt/sources.list.d/tessaroven-sources.list >/dev/null
  fi
  if [ ${#missing[@]} -eq 0 ]; then
    "${sudo[@]}" apt-get update -qq
    exit 0
  fi
fi
# A first installation takes minutes: apt's own lines show that it goes on.
echo "install-deps: installing ${#missing[@]} package(s): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
