# Packaged libraries, found in one place for every build.
#
# Header-only libraries come from Debian's /usr/include. A cross build cannot put that folder on
# its include path (the host's C library headers would shadow MinGW's), so it sees them through
# a build-tree folder that holds only a link to each library's own header folder.

set(KIVO_PACKAGED_INCLUDE ${CMAKE_BINARY_DIR}/packaged-include)

# kivo_packaged_headers(TARGET target FOLDER folder HEADER header [PACKAGE package])
# Makes the imported target `target` give access to /usr/include/<folder>; natively through the
# package's own CMake files when it has them.
function(kivo_packaged_headers)
  cmake_parse_arguments(ARG "" "TARGET;FOLDER;HEADER;PACKAGE" "" ${ARGN})
  if(TARGET ${ARG_TARGET})
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING AND ARG_PACKAGE)
    find_package(${ARG_PACKAGE} REQUIRED)
    return()
  endif()
  find_path(KIVO_${ARG_FOLDER}_ROOT ${ARG_FOLDER}/${ARG_HEADER}
    PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KIVO_${ARG_FOLDER}_ROOT)
    message(FATAL_ERROR "${ARG_FOLDER}/${ARG_HEADER} not found in /usr/include: see scripts/setup.sh")
  endif()
  set(root ${KIVO_${ARG_FOLDER}_ROOT})
  if(CMAKE_CROSSCOMPILING)
    file(MAKE_DIRECTORY ${KIVO_PACKAGED_INCLUDE})
    file(CREATE_LINK ${KIVO_${ARG_FOLDER}_ROOT}/${ARG_FOLDER} ${KIVO_PACKAGED_INCLUDE}/${ARG_FOLDER}
      SYMBOLIC COPY_ON_ERROR)
    set(root ${KIVO_PACKAGED_INCLUDE})
  endif()
  add_library(${ARG_TARGET} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${ARG_TARGET} INTERFACE ${root})
endfunction()

# JSON for the companion's report and the tests' reading of the stand-in's record.
kivo_packaged_headers(TARGET nlohmann_json::nlohmann_json FOLDER nlohmann HEADER json.hpp
  PACKAGE nlohmann_json)

# Command-line parsing for the companion.
kivo_packaged_headers(TARGET CLI11::CLI11 FOLDER CLI HEADER CLI.hpp PACKAGE CLI11)
