cmake_minimum_required(VERSION 3.16)
# cmake -DVERSION=... -DEXE=serbolt2.exe -DREADME=README.txt -DPAGE=serbolt2.1 -DLICENSE=LICENSE
#       -DGROFF=groff -DWORK=dir -DZIP=out.zip [-DSTRIP=x86_64-w64-mingw32-strip] -P make-win-zip.cmake
# Makes the zip for Windows users: one folder serbolt2-VERSION-win64 with serbolt2.exe,
# README.txt, serbolt2.txt (the manual page as plain ASCII) and LICENSE.txt. The texts get
# Windows line ends.
foreach(var VERSION EXE README PAGE LICENSE GROFF WORK ZIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make-win-zip.cmake needs -D${var}=...")
  endif()
endforeach()

set(name serbolt2-${VERSION}-win64)
set(dir ${WORK}/${name})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${dir})

file(COPY ${EXE} DESTINATION ${dir})
# Without its symbols the program is a third of the size; the build tree keeps the full one.
if(STRIP)
  get_filename_component(exe_name ${EXE} NAME)
  execute_process(COMMAND ${STRIP} ${dir}/${exe_name} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} ${dir}/${exe_name} failed")
  endif()
endif()

# Text with LF line ends written with CR LF.
function(write_crlf path text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${path} "${text}")
endfunction()

file(READ ${README} readme)
string(REPLACE "@VERSION@" "${VERSION}" readme "${readme}")
write_crlf(${dir}/README.txt "${readme}")

file(READ ${LICENSE} license)
write_crlf(${dir}/LICENSE.txt "${license}")

# grotty's -c -b -o -u: no escape sequences and no overstriking, only plain characters.
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-o -P-u ${PAGE}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE page
  ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "${PAGE}: groff failed (status ${status}): ${err}")
endif()
write_crlf(${dir}/serbolt2.txt "${page}")

file(REMOVE ${ZIP})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${name}
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not write ${ZIP}")
endif()
message(STATUS "Windows zip: ${ZIP}")
