# SPDX-License-Identifier: MIT
# Copies the board's binaries that the emulated board boots, where the board's build has
# them, into guest/ beside emuboard; a build tree moved whole keeps working.
# usage: cmake -DFROM=BOARD-BUILD-DIR -DTO=DIR -P guest.cmake
file(MAKE_DIRECTORY ${TO})
foreach(name battery-voltage simboard-stamp)
  if(FROM AND EXISTS ${FROM}/${name})
    file(COPY_FILE ${FROM}/${name} ${TO}/${name} ONLY_IF_DIFFERENT)
  endif()
endforeach()
