# SPDX-License-Identifier: MIT
# Sourced by .ci/web.sh and .ci/npm.sh: installs what the WebAssembly build
# and its browser tests need, only what is missing (.ci/packages, groups
# build and web), and npm, which Debian's nodejs comes without (other
# builds of node bring their own).
browser_deps() {
  bash .ci/install.sh build web
  if ! command -v npm >/dev/null; then
    echo "browser: installing npm"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends npm
  fi
}
