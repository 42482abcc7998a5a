# SPDX-License-Identifier: MIT
# Sourced by .ci/web.sh and .ci/npm.sh: installs what the WebAssembly build
# and its browser tests need, only what is missing (clang's wasm32 target,
# wasi-libc and libc++ for it, chromium, node and npm).
browser_deps() {
  local need=() pkg
  for pkg in cmake ninja-build g++ clang-14 lld-14 wasi-libc libc++-14-dev-wasm32 \
             libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32 chromium nodejs; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || need+=("$pkg")
  done
  # Debian's nodejs comes without npm; other builds of it bring their own.
  command -v npm >/dev/null || need+=(npm)
  if [ ${#need[@]} -gt 0 ]; then
    echo "$1: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}"
  fi
}
