cmake_minimum_required(VERSION 3.25)
# Fails when a .cpp file under driver/ is not in driver/sources.cmake, or the
# list names a file that does not exist: a stray file is never compiled into
# the driver by accident, and a new one is never left out by accident.
# Run with -DSOURCE_DIR=<the tree's root>.
# The list names its files from CMAKE_SOURCE_DIR, which a script run does not set.
set(CMAKE_SOURCE_DIR ${SOURCE_DIR})
include(${SOURCE_DIR}/driver/sources.cmake)
file(GLOB_RECURSE found RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/driver/*.cpp)
set(listed)
foreach(path ${NUVIX_DRIVER_SOURCES})
  file(RELATIVE_PATH relative ${SOURCE_DIR} ${path})
  list(APPEND listed ${relative})
  if(NOT EXISTS ${path})
    message(SEND_ERROR "driver/sources.cmake lists ${relative}, which does not exist")
  endif()
endforeach()
foreach(path ${found})
  if(NOT path IN_LIST listed)
    message(SEND_ERROR "${path} is not in driver/sources.cmake: list it, or move it out of driver/")
  endif()
endforeach()
list(LENGTH listed count)
message(STATUS "driver/sources.cmake names all ${count} driver sources")
