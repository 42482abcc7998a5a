# SPDX-License-Identifier: MIT
# Sourced by the CI stages that run long single-core jobs (fuzz targets,
# test programs under Valgrind): side_by_side runs them one per core.
#
#   side_by_side WORK REPORTS LABEL ITEM...
#
# runs `WORK ITEM` in the background for each item, at most JOBS (default
# 2) at a time.  WORK writes what it has to say to REPORTS/NAME.report,
# NAME being the item's last component, and marks a failure by creating
# REPORTS/NAME.failed.  Once all have ended, the reports are printed in the
# items' order; the status is 1 when any item failed or left no report
# (LABEL starts the line that says so), else 0.
side_by_side() {
  local work=$1 reports=$2 label=$3 item name failed=0
  shift 3
  for item in "$@"; do
    name=$(basename "$item")
    rm -f "$reports/$name.report" "$reports/$name.failed"
  done
  for item in "$@"; do
    while [ "$(jobs -rp | wc -l)" -ge "${JOBS:-2}" ]; do
      wait -n || true
    done
    "$work" "$item" &
  done
  wait
  for item in "$@"; do
    name=$(basename "$item")
    if [ -f "$reports/$name.report" ]; then
      cat "$reports/$name.report"
    else
      echo "$label$name: FAILED (it stopped without a report)"
      failed=1
    fi
    [ ! -e "$reports/$name.failed" ] || failed=1
  done
  return $failed
}
