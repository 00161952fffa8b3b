# nlohmann-json, the JSON library of mqttctl and mqttweb: Debian's
# nlohmann-json3-dev, header-only. Defines nlohmann_json::nlohmann_json.
#
# Natively its CMake package is used. The cross build looks only in the
# target's tree (cmake/powerpc-linux-gnu.cmake), where Debian installs no
# such package: the library is headers and nothing else, the same on every
# architecture, so the cross build takes the build machine's copy. Not by
# adding /usr/include to the search path, which would put the build
# machine's C library headers before the target's: a directory in the build
# tree holds one link, nlohmann -> /usr/include/nlohmann, and only that
# directory is searched.

find_package(nlohmann_json 3.9 QUIET)
if(nlohmann_json_FOUND)
  return()
endif()
if(NOT CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "nlohmann-json is missing: install nlohmann-json3-dev")
endif()

find_path(MQTTD_HOST_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MQTTD_HOST_NLOHMANN_INCLUDE)
  message(FATAL_ERROR "nlohmann-json is missing on the build machine: install nlohmann-json3-dev")
endif()
set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${host_headers})
file(CREATE_LINK ${MQTTD_HOST_NLOHMANN_INCLUDE}/nlohmann ${host_headers}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${host_headers})
