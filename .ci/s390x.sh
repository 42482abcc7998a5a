#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Big-endian check: the library, bgntag and the tests cross-built for s390x
# and the whole suite run under qemu (see cross.sh).
exec bash "$(dirname "$0")/cross.sh" s390x "$@"
