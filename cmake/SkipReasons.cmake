# Read by ctest as it starts (a TEST_INCLUDE_FILES of tests/): for each reason that makes
# tests, or rows of them, skip in this run, a test named "skipped here: <reason>" that ctest
# lists as skipped beside them (ctest names what it skips, but not why). Decided as the tests
# run, by who runs them and what is installed and mounted then, not when CMake configured the
# build. The including file sets SKIP_CMAKE, SKIP_PROGRAM (matrix-menu), SKIP_FLAGS (the
# build's compiler flags) and SKIP_WINDOWS (the Windows tests, run by the build machine's
# harness).

function(skipped_here reason)
  add_test("skipped here: ${reason}" "${SKIP_CMAKE}" -E true)
  set_tests_properties("skipped here: ${reason}" PROPERTIES SKIP_RETURN_CODE 0)
endfunction()

# Whether the command runs and succeeds.
function(succeeds result)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(status STREQUAL "0")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

if(SKIP_FLAGS MATCHES "-fsanitize=address")
  skipped_here("AddressSanitizer cannot run short of memory (two tests of ProgramConsole)")
endif()
if(SKIP_FLAGS MATCHES "-stdlib=libc\\+\\+" OR SKIP_ZIG)
  skipped_here("the number reader follows GNU's num_get, which libc++ does not have (NumberReading)")
endif()
if(NOT SKIP_WINDOWS AND NOT SKIP_GLIBC)
  skipped_here("musl's locales are all UTF-8 and group no digits, and its calls are not glibc's (tests and rows under Windows-1251, KOI8-R or grouping, rows that count openat)")
endif()
succeeds(strace strace -V)
if(NOT strace)
  skipped_here("strace is not installed (tests of ProgramFile, ProgramConsole and ProgramOnWindows)")
endif()

# Where the tests make their files.
execute_process(COMMAND mktemp -d OUTPUT_VARIABLE scratch OUTPUT_STRIP_TRAILING_WHITESPACE)
if(SKIP_WINDOWS)
  execute_process(COMMAND stat -c %d ${scratch} /dev/shm OUTPUT_VARIABLE devices)
  string(REGEX MATCH "^([0-9]+)\n([0-9]+)" devices "${devices}")
  if(NOT CMAKE_MATCH_2 OR CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_2)
    skipped_here("no /dev/shm on a file system of its own (a row of ProgramOnWindows)")
  endif()
  file(REMOVE_RECURSE ${scratch})
  return()
endif()
succeeds(acl setfacl -m u:65534:r ${scratch})
if(NOT acl)
  skipped_here("no setfacl, or no ACLs where the tests make their files (rows of ProgramFile)")
endif()

execute_process(COMMAND id -u OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT user STREQUAL "0")
  skipped_here("other users' links, files and groups need root (MatrixFileLinks, rows of SaveMatrixToFile and ProgramFile)")
  skipped_here("append-only directories and an empty /dev need root (rows of SaveMatrixToFile, ProgramFile and ProgramConsole)")
else()
  # As the tests do: nobody, with one more group, runs the program; a mount namespace of its
  # own gets an empty /dev; an append-only directory.
  succeeds(reached setpriv --reuid=65534 --regid=65534 --groups=100 test -x ${SKIP_PROGRAM})
  if(NOT reached)
    skipped_here("user nobody cannot reach the build tree, as under /root (rows of ProgramFile)")
  endif()
  succeeds(namespace unshare --mount --propagation private true)
  if(NOT namespace)
    skipped_here("no mount namespace, as in a chroot (a row of ProgramConsole)")
  endif()
  succeeds(flags chattr +a ${scratch})
  execute_process(COMMAND chattr -a ${scratch} OUTPUT_QUIET ERROR_QUIET)
  if(NOT flags)
    skipped_here("no inode flags where the tests make their files (rows of SaveMatrixToFile and ProgramFile)")
  endif()
endif()
file(REMOVE_RECURSE ${scratch})

execute_process(COMMAND env -u LOCPATH LC_ALL=ru_RU.UTF-8 locale charmap
  OUTPUT_VARIABLE charmap ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT charmap STREQUAL "UTF-8")
  skipped_here("ru_RU.UTF-8 is not installed system-wide (rows of ProgramMenu and ProgramConsole)")
endif()
