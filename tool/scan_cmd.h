// SPDX-License-Identifier: MIT
// scan_cmd.h - `velkor scan`: tagged files and containers inside images.
#pragma once

#include "cli.h"

namespace velkor_scan_cmd {

// Scans every image the command line names; the exit status.
int run_scan(const velkor_cli::command *cmd, const velkor_cli::settings &s);

} // namespace velkor_scan_cmd
