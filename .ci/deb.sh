#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages: build them with Debian's own tools from debian/
# (dpkg-buildpackage), check them with lintian and hardening-check, then
# install them with apt-get, use every part, remove them and check with
# dpkg that nothing is left.
#
# dpkg-buildpackage writes into the source tree (debian/, obj-*) and its
# results next to it, so it builds a copy of the tree in a scratch
# directory: neither the clone nor its parent gains a file.  The test suite
# is not run inside the package build (nocheck): the other stages run it,
# and it would double the stage's time.
#
# The install runs in a private copy of this machine: a mount namespace in
# which an overlay of / (changes kept in a tmpfs) is the root.  The real
# system, its dpkg database included, is never written, whatever fails.
#
#   .ci/deb.sh            (needs root, dpkg-dev, debhelper, dh-python,
#                          lintian, devscripts, file)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
packages=(libvelkor0 libvelkor-dev velkor python3-velkor)
# grep without -q below: with pipefail, a grep that stops reading early
# fails the pipeline through the writer's SIGPIPE.

if [ "${1:-}" = --inside ]; then
  # In the sandbox (see below), as root of the overlay.
  fail() { echo "deb: $*" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  cd /tmp/deb-check
  apt-get install -y -qq --no-install-recommends ./libvelkor0_*.deb ./libvelkor-dev_*.deb \
    ./velkor_*.deb ./python3-velkor_*.deb >install.log 2>&1 ||
    { cat install.log; fail "apt-get install of the four packages"; }
  for p in libvelkor0 libvelkor-dev velkor python3-velkor; do
    dpkg-query -W -f='${Status}\n' "$p" | grep 'install ok installed' >/dev/null || fail "$p is not installed"
  done
  version=$(dpkg-query -W -f='${Version}' velkor); version=${version%-*}
  PATH=/usr/sbin:/usr/bin:/sbin:/bin

  # The programs.
  printf 'hello\n' > hello.txt
  bgntag hello.txt hello.bgn
  [ "$(velkor check hello.bgn)" = "hello.bgn: OK" ] || fail "velkor check"
  velkor info --json hello.bgn | grep '"ok":true' >/dev/null || fail "velkor info"
  [ "$(velkor --version)" = "velkor $version" ] || fail "velkor --version"
  set +e; usage=$(/usr/bin/bgntag 2>&1); status=$?; set -e
  [ "$status" = 1 ] && [ "$usage" = "usage: /usr/bin/bgntag <in> <out>" ] || fail "bgntag usage: $usage"

  # The man pages, found and formatted by man.
  for page in "1 bgntag" "1 velkor" "3 velkor"; do
    # shellcheck disable=SC2086
    MANWIDTH=80 man $page 2>/dev/null | grep '^NAME' >/dev/null || fail "man $page"
  done

  # pkg-config, and a C program built with it that runs with no help.  The
  # file names /usr plainly, so pkg-config leaves out the system's folders.
  [ "$(pkg-config --modversion velkor)" = "$version" ] || fail "pkg-config --modversion"
  [ "$(pkg-config --variable=prefix velkor)" = /usr ] || fail "velkor.pc: prefix $(pkg-config --variable=prefix velkor)"
  # (pkg-config ends its output with a space: word splitting drops it.)
  # shellcheck disable=SC2046,SC2005
  [ -z "$(echo $(pkg-config --cflags velkor))" ] || fail "pkg-config --cflags velkor: $(pkg-config --cflags velkor)"
  # shellcheck disable=SC2046,SC2005
  [ "$(echo $(pkg-config --libs velkor))" = "-lvelkor" ] || fail "pkg-config --libs velkor: $(pkg-config --libs velkor)"
  # shellcheck disable=SC2046
  cc -Wall -Werror consumers/consumer.c $(pkg-config --cflags --libs velkor) -o c-consumer ||
    fail "cc with pkg-config --cflags --libs velkor"
  ldd ./c-consumer | grep -E 'libvelkor\.so\.0 => /(usr/)?lib/' >/dev/null ||
    fail "c-consumer does not use the installed library: $(ldd ./c-consumer)"
  ./c-consumer c.vc
  velkor unpack -k "consumer key" c.vc c.out
  [ "$(cat c.out)" = "a payload from C" ] || fail "velkor unpack of the C consumer's container"

  # find_package(velkor), with no hint where.
  cmake -S consumers/cpp -B cpp-build -G Ninja >cpp.log 2>&1 || { cat cpp.log; fail "find_package(velkor)"; }
  grep -q "velkor $version from /usr/lib/" cpp.log || { cat cpp.log; fail "find_package found another velkor"; }
  cmake --build cpp-build >>cpp.log 2>&1 || { cat cpp.log; fail "building against find_package(velkor)"; }
  ./cpp-build/consumer_shared cpp.vc
  ./cpp-build/consumer_static cpp-static.vc

  # Debian's own python3.
  /usr/bin/python3 - "$version" <<'PY' || fail "python3 -c 'import velkor'"
import sys
import velkor
assert velkor.__file__.startswith("/usr/lib/python3/dist-packages/"), velkor.__file__
assert velkor.__version__ == sys.argv[1], velkor.__version__
with open("c.vc", "rb") as f:
    assert velkor.unpack(f.read(), "consumer key").payload == b"a payload from C"
assert velkor.untag(velkor.tag(b"abc")) == b"abc"
PY

  # bash completion, loaded on demand as an interactive shell does, from
  # one file per command.
  got=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    _completion_loader velkor
    COMP_WORDS=(velkor pack -m ""); COMP_CWORD=3
    _velkor velkor "" -m
    echo "${COMPREPLY[*]}"')
  [ "$got" = "start asar1" ] || fail "bash completion of velkor pack -m: '$got'"
  got=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    _completion_loader bgntag
    COMP_WORDS=(bgntag hello.t); COMP_CWORD=1
    _bgntag bgntag hello.t bgntag
    echo "${COMPREPLY[*]}"')
  [ "$got" = "hello.txt" ] || fail "bash completion of bgntag hello.t: '$got'"

  # file(1) and binwalk with the installed signatures.
  want="velkor tagged file, total length 26 bytes, payload 6 bytes, CRC 0x$(od -An -tx1 -j16 -N4 hello.bgn | tr -d ' \n')"
  got=$(file -b -m /usr/share/velkor/velkor.magic hello.bgn)
  [ "$got" = "$want" ] || fail "file -m /usr/share/velkor/velkor.magic: '$got'"
  if command -v binwalk >/dev/null; then
    cat c.vc hello.bgn > dump.img
    HOME=/tmp/deb-check binwalk -m /usr/share/velkor/binwalk.magic dump.img | grep -c '^[0-9].*velkor ' | grep -x 2 >/dev/null ||
      fail "binwalk -m /usr/share/velkor/binwalk.magic does not list both finds"
  fi

  # Removal leaves nothing: no package state, no file (the caller also
  # looks at everything the overlay recorded).
  apt-get remove -y -qq libvelkor0 libvelkor-dev velkor python3-velkor >remove.log 2>&1 ||
    { cat remove.log; fail "apt-get remove"; }
  left=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' 2>/dev/null | grep -E '^(libvelkor0|libvelkor-dev|velkor|python3-velkor) ' | grep -v ' un *$' || true)
  [ -z "$left" ] || fail "dpkg still knows: $left"
  exit 0
fi

if [ "${1:-}" = --sandbox ]; then
  # A new mount namespace: mounts made here vanish with it.
  tmp=$2
  mount -t tmpfs velkor-deb "$tmp"
  mkdir "$tmp/upper" "$tmp/work" "$tmp/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$tmp/upper,workdir=$tmp/work" "$tmp/root"
  mount -t proc proc "$tmp/root/proc"
  mount --rbind /dev "$tmp/root/dev"
  mount --rbind /sys "$tmp/root/sys"
  mkdir -p "$tmp/root/tmp/deb-check"
  for p in "${packages[@]}"; do cp "$3/${p}"_*.deb "$tmp/root/tmp/deb-check/"; done
  cp -R "$src/tests/consumers" "$tmp/root/tmp/deb-check/consumers"
  mkdir -p "$tmp/root/tmp/deb-check/ci"
  cp "$src/.ci/deb.sh" "$tmp/root/tmp/deb-check/ci/deb.sh"
  chroot "$tmp/root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    bash /tmp/deb-check/ci/deb.sh --inside
  # What the install and removal changed, besides the package manager's
  # own records and logs: nothing may remain.
  left=$(cd "$tmp/upper" && find . -mindepth 1 \( -type f -o -type l -o -type c \) \
    ! -path './tmp/*' ! -path './var/lib/dpkg/*' ! -path './var/lib/apt/*' \
    ! -path './var/cache/*' ! -path './var/log/*' ! -path './etc/ld.so.cache' \
    ! -path './root/*' ! -path './var/lib/man-db/*' ! -path './var/lib/python/*' | sort)
  [ -z "$left" ] || { echo "deb: left behind after apt-get remove:" >&2; echo "$left" >&2; exit 1; }
  grep -l velkor "$tmp/upper/var/lib/dpkg/info/"* 2>/dev/null && { echo "deb: dpkg info files left" >&2; exit 1; }
  exit 0
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/velkor-deb.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# Every tool's temporary files go with the scratch folder (lintian leaves
# some of its own behind).
mkdir "$tmp/tmp"
export TMPDIR=$tmp/tmp
fail() { echo "deb: $*" >&2; exit 1; }

# A copy of the tree as git sees it (tracked and new files, not ignored
# ones such as build/), built where its results may land.
mkdir "$tmp/src" "$tmp/src/velkor" "$tmp/sandbox"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$tmp/src/velkor"
(cd "$tmp/src/velkor" &&
  DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" DEB_BUILD_PROFILES=nocheck \
  dpkg-buildpackage -us -uc -b >"$tmp/build.log" 2>&1) ||
  { tail -50 "$tmp/build.log"; fail "dpkg-buildpackage -us -uc -b"; }
out=$tmp/src
for p in "${packages[@]}"; do
  ls "$out/${p}"_*.deb >/dev/null 2>&1 || fail "no package $p"
done
ls "$out"/*.deb

# lintian, info tags included: no error, no warning and no hardening tag.
lintian -I --fail-on error,warning "$out"/*.changes 2>/dev/null | tee "$tmp/lintian.log" ||
  fail "lintian -I --fail-on error,warning"
! grep hardening "$tmp/lintian.log" >/dev/null || fail "lintian finds hardening missing"

# The hardening flags took: both programs and the library.  (Bookworm's C
# runtime objects carry no CET note, so control-flow protection cannot
# pass even for a program built with -fcf-protection.)
mkdir "$tmp/x"
for p in libvelkor0 velkor libvelkor-dev; do dpkg-deb -x "$out/${p}"_*.deb "$tmp/x"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
hardening-check --nocfprotection "$tmp/x/usr/bin/velkor" "$tmp/x/usr/bin/bgntag" \
  "$tmp/x/usr/lib/$multiarch"/libvelkor.so.0.* || fail "hardening-check"

# What Debian's tools do for us, checked: a symbols file, the static
# library without debugging sections, one completion file per command and
# no two files alike, a plain pkg-config prefix, Multi-Arch, and a
# description that mentions scan.
dpkg-deb -I "$out"/libvelkor0_*.deb symbols | grep '^ velkor_crc@Base' >/dev/null ||
  fail "libvelkor0 has no symbols file"
! readelf -S "$tmp/x/usr/lib/$multiarch/libvelkor.a" | grep '\.debug_' >/dev/null ||
  fail "libvelkor.a keeps debugging sections"
[ "$(ls "$tmp/x/usr/share/bash-completion/completions")" = "$(printf 'bgntag\nvelkor')" ] ||
  fail "bash completions: $(ls "$tmp/x/usr/share/bash-completion/completions")"
dups=$(cd "$tmp/x" && find . -type f -size +0 ! -path './usr/share/doc/*' -exec md5sum {} + | sort | uniq -w32 -D)
[ -z "$dups" ] || fail "files with the same content: $dups"
grep -x 'prefix=/usr' "$tmp/x/usr/lib/$multiarch/pkgconfig/velkor.pc" >/dev/null || fail "velkor.pc: no plain prefix"
for p in libvelkor0:same libvelkor-dev:same velkor:foreign; do
  [ "$(dpkg-deb -f "$out/${p%%:*}"_*.deb Multi-Arch)" = "${p#*:}" ] || fail "${p%%:*}: not Multi-Arch: ${p#*:}"
done
dpkg-deb -f "$out"/velkor_*.deb Description | grep -w scan >/dev/null || fail "velkor's description does not mention scan"

unshare --mount --propagation private bash "$src/.ci/deb.sh" --sandbox "$tmp/sandbox" "$out"
echo "deb: ok (built with dpkg-buildpackage, lintian clean, hardened, installed, used and removed without a trace)"
