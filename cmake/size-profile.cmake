# The size profile: code generation and link options that make the programs
# smaller, for the router, whose flash and memory are small. Included by the
# top-level CMakeLists.txt; applies to every target of the build, test
# binaries included, so that the tests run the code as it ships.
#
#   MQTTD_SIZE_PROFILE   a list of the measures to take, any of:
#     os       optimise for size (-Os) instead of speed (-O2, -O3)
#     lto      link-time optimisation (-flto)
#     gc       every function and object in its own section, and sections
#              nothing refers to left out at link time (--gc-sections)
#     hidden   hidden visibility for everything not exported explicitly
#   "all" is all of them, "none" (or empty) none. Default: all when cross
#   compiling for the router, none natively (docs/target.md says why).
#
# scripts/footprint.sh measures each measure alone and prints what it saves.

set(MQTTD_SIZE_MEASURES os lto gc hidden)
if(CMAKE_CROSSCOMPILING)
  set(size_default all)
else()
  set(size_default none)
endif()
set(MQTTD_SIZE_PROFILE ${size_default} CACHE STRING
    "Size measures: all, none, or a list of: ${MQTTD_SIZE_MEASURES}")

set(size_measures ${MQTTD_SIZE_PROFILE})
if(size_measures STREQUAL "all")
  set(size_measures ${MQTTD_SIZE_MEASURES})
elseif(size_measures STREQUAL "none")
  set(size_measures "")
endif()
foreach(measure ${size_measures})
  if(NOT measure IN_LIST MQTTD_SIZE_MEASURES)
    message(FATAL_ERROR "MQTTD_SIZE_PROFILE: unknown measure '${measure}' "
                        "(known: ${MQTTD_SIZE_MEASURES}, or all, none)")
  endif()
endforeach()

if(MQTTD_SANITIZE AND size_measures)
  message(FATAL_ERROR "MQTTD_SIZE_PROFILE and MQTTD_SANITIZE do not go together")
endif()

# Options given after the build type's flags: the last -O wins.
if("os" IN_LIST size_measures)
  add_compile_options(-Os)
endif()
if("lto" IN_LIST size_measures)
  include(CheckIPOSupported)
  check_ipo_supported(RESULT lto_ok OUTPUT lto_output LANGUAGES CXX)
  if(NOT lto_ok)
    message(FATAL_ERROR "MQTTD_SIZE_PROFILE lto: not supported here: ${lto_output}")
  endif()
  set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
  # The optimisation level is also what the link-time compiler uses.
  if("os" IN_LIST size_measures)
    add_link_options(-Os)
  endif()
endif()
if("gc" IN_LIST size_measures)
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
endif()
if("hidden" IN_LIST size_measures)
  set(CMAKE_CXX_VISIBILITY_PRESET hidden)
  set(CMAKE_C_VISIBILITY_PRESET hidden)
  set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
endif()
