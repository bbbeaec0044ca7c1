# The locales that the tests and the fuzzer run the program under: target test_locales,
# directory LOCALE_DIR.
include_guard(GLOBAL)
# ru_RU locales are rarely installed; localedef compiles the ones the tests use, no root needed.
set(LOCALE_DIR ${CMAKE_BINARY_DIR}/locales)
set(TEST_LOCALES
  "ru_RU UTF-8 ru_RU.UTF-8"
  "ru_RU CP1251 ru_RU.CP1251"
  "ru_RU KOI8-R ru_RU.KOI8-R"
  "ru_RU ISO-8859-5 ru_RU"
  "en_US UTF-8 en_US.UTF-8"
  "en_US ISO-8859-1 en_US.ISO-8859-1"
  "ja_JP EUC-JP ja_JP.EUC-JP")
set(LOCALE_STAMPS)
foreach(entry IN LISTS TEST_LOCALES)
  separate_arguments(parts UNIX_COMMAND "${entry}")
  list(GET parts 0 source)
  list(GET parts 1 charmap)
  list(GET parts 2 name)
  add_custom_command(
    OUTPUT ${LOCALE_DIR}/${name}/LC_CTYPE
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${source} -DCHARMAP=${charmap} -DOUTPUT=${LOCALE_DIR}/${name}
            -P ${CMAKE_CURRENT_LIST_DIR}/MakeLocale.cmake
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/MakeLocale.cmake
    COMMENT "Generating locale ${name}")
  list(APPEND LOCALE_STAMPS ${LOCALE_DIR}/${name}/LC_CTYPE)
endforeach()
add_custom_target(test_locales ALL DEPENDS ${LOCALE_STAMPS})
