# cmake -DGROFF=/usr/bin/groff -DPAGES="a.1;b.1" [-DVERSION=1.2.3] -P check-pages.cmake
# Formats each page with all groff warnings on and fails when any page makes groff say anything
# or exit with a failure. With VERSION, each page's title line (.TH) must name "serbolt VERSION".
if(NOT GROFF OR NOT PAGES)
  message(FATAL_ERROR "check-pages.cmake needs -DGROFF=... and -DPAGES=...")
endif()

set(failed 0)
foreach(page IN LISTS PAGES)
  if(NOT EXISTS "${page}")
    message(SEND_ERROR "${page}: no such page")
    set(failed 1)
    continue()
  endif()
  execute_process(
    COMMAND "${GROFF}" -ww -z -man "${page}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message(SEND_ERROR "${page}: groff -ww -z -man (status ${status}):\n${out}${err}")
    set(failed 1)
  else()
    message(STATUS "${page}: clean")
  endif()
  if(VERSION)
    file(STRINGS "${page}" title REGEX "^\\.TH ")
    if(NOT title MATCHES "\"serbolt ${VERSION}\"")
      message(SEND_ERROR "${page}: the title line names another version than ${VERSION}: ${title}")
      set(failed 1)
    endif()
  endif()
endforeach()

if(failed)
  message(FATAL_ERROR "manual pages with warnings")
endif()
