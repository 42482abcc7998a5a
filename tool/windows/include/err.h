// SPDX-License-Identifier: MIT
// <err.h> for the Windows build: the declarations are in posix_compat.h,
// which that build includes before every source of tool/.
#pragma once
#include "../posix_compat.h"
