# cmake -DSCDOC=.. -DGZIP=.. -DSOURCE=<page>.1.scd -DPAGE=<out>.1 -P man_page.cmake
# Turns a scdoc source into a roff page and its gzip -9n copy for packages.
cmake_minimum_required(VERSION 3.25)
get_filename_component(dir "${PAGE}" DIRECTORY)
file(MAKE_DIRECTORY "${dir}")
execute_process(COMMAND ${SCDOC} INPUT_FILE "${SOURCE}" OUTPUT_FILE "${PAGE}.tmp"
                RESULT_VARIABLE failed ERROR_VARIABLE why)
if(failed)
  file(REMOVE "${PAGE}.tmp")
  message(FATAL_ERROR "scdoc failed on ${SOURCE}: ${why}")
endif()
file(RENAME "${PAGE}.tmp" "${PAGE}")
execute_process(COMMAND ${GZIP} -9nc INPUT_FILE "${PAGE}" OUTPUT_FILE "${PAGE}.gz" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on ${PAGE}")
endif()
