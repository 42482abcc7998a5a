#!/usr/bin/env bash
# The Debian packages: build them with cpack (the deb preset), check them
# with lintian, then install them with apt-get, use every part, remove them
# and check with dpkg that nothing is left.
#
# The install runs in a private copy of this machine: a mount namespace in
# which an overlay of / (changes kept in a tmpfs) is the root.  The real
# system, its dpkg database included, is never written, whatever fails.
#
#   .ci/deb.sh            (needs root, dpkg-dev, lintian, file)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
# grep without -q below: with pipefail, a grep that stops reading early
# fails the pipeline through the writer's SIGPIPE.

if [ "${1:-}" = --inside ]; then
  # In the sandbox (see below), as root of the overlay.
  fail() { echo "deb: $*" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  cd /tmp/deb-check
  apt-get install -y -qq --no-install-recommends ./*.deb >install.log 2>&1 ||
    { cat install.log; fail "apt-get install ./*.deb"; }
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

  # pkg-config, and a C program built with it that runs with no help.
  [ "$(pkg-config --modversion velkor)" = "$version" ] || fail "pkg-config --modversion"
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

  # bash completion, loaded on demand as an interactive shell does.
  got=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    _completion_loader velkor
    COMP_WORDS=(velkor pack -m ""); COMP_CWORD=3
    _velkor velkor "" -m
    echo "${COMPREPLY[*]}"')
  [ "$got" = "start asar1" ] || fail "bash completion of velkor pack -m: '$got'"

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
  cp "$3"/*.deb "$tmp/root/tmp/deb-check/"
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

# Build the packages with the flags a Debian build uses (hardening).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
rm -rf build/deb
cmake --preset deb >/dev/null
cmake --build --preset deb >/dev/null
packages=$src/build/deb/packages
(cd build/deb && cpack -G DEB -B "$packages" >/dev/null)
ls "$packages"/*.deb

# lintian: no error, no warning (overrides carry their reasons).
lintian --fail-on error,warning "$packages"/*.deb

tmp=$(mktemp -d "${TMPDIR:-/tmp}/velkor-deb.XXXXXX")
trap 'rmdir "$tmp"' EXIT
unshare --mount --propagation private bash "$src/.ci/deb.sh" --sandbox "$tmp" "$packages"
echo "deb: ok (built, lintian clean, installed, used and removed without a trace)"
