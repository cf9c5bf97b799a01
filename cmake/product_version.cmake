# resources/product_version.h from project(VERSION): the numbers for the
# version record's fixed part, its text, and the zero-padded form that
# {VERSION} expands to. Every target sees the generated folder.
function(corvellinth_two_digits value result)
  if(value LESS 10)
    set(${result} "0${value}" PARENT_SCOPE)
  else()
    set(${result} "${value}" PARENT_SCOPE)
  endif()
endfunction()

corvellinth_two_digits(${PROJECT_VERSION_MINOR} CORVELLINTH_VERSION_MINOR_PADDED)
corvellinth_two_digits(${PROJECT_VERSION_PATCH} CORVELLINTH_VERSION_PATCH_PADDED)
set(CORVELLINTH_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/resources/product_version.h.in
               ${CORVELLINTH_GENERATED_DIR}/resources/product_version.h @ONLY)
include_directories(${CORVELLINTH_GENERATED_DIR})

# The version record is compiled by windres, whose dependencies CMake does
# not scan: a new version must rebuild it.
function(corvellinth_resource_dependencies)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/launcher.rc
               DIRECTORY ${PROJECT_SOURCE_DIR}/launcher APPEND PROPERTY OBJECT_DEPENDS
               ${CORVELLINTH_GENERATED_DIR}/resources/product_version.h)
endfunction()
