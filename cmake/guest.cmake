# SPDX-License-Identifier: MIT
# Brings the board's build up to date, where it has been configured, and copies the
# binaries that the emulated board boots and qemu-arm runs into guest/ beside emuboard; a
# build tree moved whole keeps working. A binary the board's build no longer has goes.
# usage: cmake -DFROM=BOARD-BUILD-DIR -DTO=DIR -P guest.cmake
file(MAKE_DIRECTORY ${TO})
if(FROM AND EXISTS ${FROM}/CMakeCache.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${FROM}
                          --target battery-voltage battery-adc-status board-stamp
                  RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(failed)
    message(FATAL_ERROR "The board's build in ${FROM} failed:\n${log}")
  endif()
endif()
foreach(name battery-voltage battery-adc-status board-stamp)
  if(FROM AND EXISTS ${FROM}/${name})
    file(COPY_FILE ${FROM}/${name} ${TO}/${name} ONLY_IF_DIFFERENT)
  else()
    file(REMOVE ${TO}/${name})
  endif()
endforeach()
