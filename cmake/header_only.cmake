# A header-only library from the build machine's packages, as a target of ours. A cross-compiler
# must not search the build machine's /usr/include (its C library headers would shadow the
# target's), so that build gets a copy of just the library's own headers.
#   divovod_header_library(TARGET PACKAGE IMPORTED_TARGET HEADER...)
# HEADER: the files and folders under the package's include folder that make the library.
function(divovod_header_library target package imported)
  if(CMAKE_CROSSCOMPILING)
    find_package(${package} 3 CONFIG REQUIRED NO_CMAKE_FIND_ROOT_PATH)
    get_target_property(include_folder ${imported} INTERFACE_INCLUDE_DIRECTORIES)
    set(copies)
    foreach(header IN LISTS ARGN)
      list(APPEND copies ${include_folder}/${header})
    endforeach()
    file(COPY ${copies} DESTINATION ${CMAKE_BINARY_DIR}/${target}-headers)
    add_library(${target} INTERFACE)
    target_include_directories(${target} SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/${target}-headers)
  else()
    find_package(${package} 3 REQUIRED)
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${imported})
  endif()
endfunction()
