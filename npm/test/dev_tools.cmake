# SPDX-License-Identifier: MIT
# The npm package's dev tools into DEV (cmake -DSRC=npm/test -DDEV=... -DNPM=npm
# -P dev_tools.cmake): typescript, esbuild and puppeteer-core as
# package-lock.json pins them, installed afresh only when the lock file
# changed; and the bundle test beside them, so that it finds them.
file(MAKE_DIRECTORY ${DEV})
file(SHA256 ${SRC}/package-lock.json want)
set(have "")
if(EXISTS ${DEV}/package-lock.json AND EXISTS ${DEV}/node_modules)
  file(SHA256 ${DEV}/package-lock.json have)
endif()
if(NOT want STREQUAL have)
  file(COPY ${SRC}/package.json ${SRC}/package-lock.json DESTINATION ${DEV})
  execute_process(COMMAND ${NPM} ci --ignore-scripts --no-audit --no-fund --loglevel=error
                  WORKING_DIRECTORY ${DEV} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${DEV}/package-lock.json)
    message(FATAL_ERROR "npm ci failed (${status})")
  endif()
endif()
file(COPY ${SRC}/bundle_test.mjs DESTINATION ${DEV})
