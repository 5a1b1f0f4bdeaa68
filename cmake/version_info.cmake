# Run at every build (cmake -P): writes the version the program prints, with `git describe` of the
# checkout when there is one, and rewrites the file only when that text changed, so an unchanged
# checkout rebuilds nothing.
#   -DVERSION=1.2.0 -DSOURCE_DIR=... -DOUTPUT=.../version_info.cpp
set(revision "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --tags --always --dirty
                  WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE revision
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(revision "")
  endif()
endif()
set(text "divovod ${VERSION}")
if(revision)
  string(APPEND text " (${revision})")
endif()
set(content "// Written by cmake/version_info.cmake at build time.\n#include \"version_info.h\"\n\nconst char* programVersion() { return \"${text}\"; }\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
