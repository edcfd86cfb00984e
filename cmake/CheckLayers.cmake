# Holds every folder to the layers it may use: a project header from a folder that is not listed
# for it stops the configure step, naming the file and the include. Folders deeper in the list
# may use those above them, never the other way round.
set(kivo_layers
  "base:base"
  "codec:base codec"
  "system:base system"
  "upgrade/connection:base codec upgrade/connection"
  "upgrade/odbc:base codec upgrade/connection upgrade/odbc"
  "upgrade/batches:base upgrade/batches"
  "upgrade/preflight:base codec upgrade/connection upgrade/odbc upgrade/batches upgrade/preflight"
  "upgrade:base codec upgrade"
  "app/form:base system upgrade app/form"
  "app/qt:base system upgrade app/form app/qt"
  "app/win32:base system upgrade app/form app/win32"
  "cli:base codec system upgrade cli"
)

function(kivo_check_layers root)
  foreach(layer IN LISTS kivo_layers)
    string(REPLACE ":" ";" parts "${layer}")
    list(GET parts 0 folder)
    list(GET parts 1 allowed)
    string(REPLACE " " ";" allowed "${allowed}")
    # Only the folder's own files: a deeper folder has a row of its own.
    file(GLOB sources ${root}/${folder}/*.h ${root}/${folder}/*.cpp)
    foreach(source IN LISTS sources)
      file(STRINGS ${source} includes REGEX "^#include \"")
      foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([^\"]+)/[^/\"]+\".*" "\\1" used "${line}")
        if(used STREQUAL line)
          continue()  # a header beside the file, or a generated one
        endif()
        # A folder that may use upgrade/ may use every library in it.
        if(NOT used IN_LIST allowed AND
           NOT (used MATCHES "^upgrade/" AND "upgrade" IN_LIST allowed))
          message(FATAL_ERROR "${source}: ${line}: ${folder}/ may not use ${used}/")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()

kivo_check_layers(${CMAKE_CURRENT_SOURCE_DIR})
