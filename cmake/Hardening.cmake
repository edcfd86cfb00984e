# The build flags Debian builds its packages with (dpkg-buildflags, every hardening feature):
# stack protector, _FORTIFY_SOURCE, full RELRO with immediate binding; and control-flow
# protection (CET) and stack clash protection where the compiler has them and dpkg does not add
# them yet. Only for optimised native builds: _FORTIFY_SOURCE needs optimisation, and sanitizer
# and fuzzing builds bring their own instrumentation.
include(CheckCXXCompilerFlag)

set(kivo_hardening_default OFF)
find_program(KIVO_DPKG_BUILDFLAGS dpkg-buildflags)
if(KIVO_DPKG_BUILDFLAGS AND NOT CMAKE_CROSSCOMPILING AND NOT KIVO_SANITIZE AND NOT KIVO_BUILD_FUZZ
   AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(kivo_hardening_default ON)
endif()
option(KIVO_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)"
  ${kivo_hardening_default})

if(KIVO_HARDENING)
  if(NOT KIVO_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "KIVO_HARDENING needs dpkg-buildflags (dpkg-dev): see scripts/setup.sh")
  endif()
  # kivo_buildflags(VARIABLE FLAG): dpkg-buildflags --get FLAG, as a list. Run from the source
  # folder, so that its -ffile-prefix-map makes the debug information's paths relative to it.
  function(kivo_buildflags variable flag)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${KIVO_DPKG_BUILDFLAGS} --get ${flag}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${flag} failed: ${status}")
    endif()
    separate_arguments(text UNIX_COMMAND "${text}")
    set(${variable} ${text} PARENT_SCOPE)
  endfunction()

  kivo_buildflags(kivo_cppflags CPPFLAGS)
  kivo_buildflags(kivo_cxxflags CXXFLAGS)
  kivo_buildflags(kivo_ldflags LDFLAGS)
  foreach(flag -fcf-protection -fstack-clash-protection)
    string(MAKE_C_IDENTIFIER "kivo_has${flag}" known)
    if(NOT flag IN_LIST kivo_cxxflags)
      check_cxx_compiler_flag(${flag} ${known})
      if(${known})
        list(APPEND kivo_cxxflags ${flag})
      endif()
    endif()
  endforeach()
  add_compile_options(${kivo_cppflags} ${kivo_cxxflags})
  add_link_options(${kivo_ldflags})
  list(JOIN kivo_cppflags " " kivo_cppflags)
  list(JOIN kivo_cxxflags " " kivo_cxxflags)
  list(JOIN kivo_ldflags " " kivo_ldflags)
  message(STATUS "Hardening: ${kivo_cppflags} ${kivo_cxxflags} ${kivo_ldflags}")
endif()
