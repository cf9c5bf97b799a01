# Compile options for the project's own code, in every build. The launcher's
# code is built without exceptions and RTTI and for size; tests and tools add
# what they need.
set(CORVELLINTH_WARNINGS
    -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wcast-qual -Wundef -Werror)

function(corvellinth_launcher_code target)
  target_compile_options(${target} PRIVATE ${CORVELLINTH_WARNINGS} -Os -ffunction-sections)
  # The native tests' diagnostics seam throws through this code.
  if(NOT CORVELLINTH_NATIVE_TESTS)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  endif()
  target_compile_definitions(${target} PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                              _WIN32_WINNT=0x0A00)
  # The runtime's own printf family (msvcrt) rather than MinGW's portable
  # one. Only C sources keep this: the C++ library's headers switch it back,
  # hence diagnostics/runtime_output.c.
  target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# The packer, the tests and the benchmark programs: on Windows linked
# statically, so that they need only system DLLs.
function(corvellinth_tool_code target)
  target_compile_options(${target} PRIVATE ${CORVELLINTH_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  if(WIN32)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0A00)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
