# What every build of this project shares, the main build (host, 32-bit and target) and the fuzz
# target's alike: the language, the warnings and the driver's own sources. Included right after
# project().

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

get_filename_component(QUELTA_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# The driver itself: the folders shared with the real-time target.
file(GLOB QUELTA_DRIVER_SOURCES CONFIGURE_DEPENDS
     ${QUELTA_ROOT}/startup/*.cpp ${QUELTA_ROOT}/hw/*.cpp
     ${QUELTA_ROOT}/port/*.cpp ${QUELTA_ROOT}/server/*.cpp)

# Warnings, as errors, for every target of the calling directory and those below it.
function(quelta_warnings)
  add_compile_options(-Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion
                      -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast
                      -Wcast-align -Wformat=2)
  # GCC 12 at -O3 (Release) takes the copy inside std::string's insert, as in
  # "literal" + std::string, for an overlapping one: a false positive of -Wrestrict (GCC bugs
  # 105329 and 105651) in the standard library's own code. Off for that compiler in that build
  # type only; the other build types compile the same sources with the warning as an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options($<$<CONFIG:Release>:-Wno-restrict>)
  endif()
endfunction()
