# Compiles one locale with localedef: -DSOURCE=ru_RU -DCHARMAP=CP1251 -DOUTPUT=dir/ru_RU.CP1251
find_program(LOCALEDEF localedef REQUIRED)
get_filename_component(parent "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${parent}")
# localedef exits 1 for mere warnings (characters a charmap lacks); the files are still usable.
execute_process(COMMAND "${LOCALEDEF}" -i "${SOURCE}" -f "${CHARMAP}" "${OUTPUT}"
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT EXISTS "${OUTPUT}/LC_CTYPE")
  message(FATAL_ERROR "localedef ${SOURCE} ${CHARMAP} failed (${result}): ${errors}")
endif()
