# The native test build: AddressSanitizer and UndefinedBehaviorSanitizer on
# everything, and libFuzzer's coverage compiled in (only the fuzz targets
# link its driver). A read past the attached data inside zstd's decoder is
# then found as surely as one in our own code.
set(CORVELLINTH_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all
                           -fno-omit-frame-pointer)
add_compile_options(${CORVELLINTH_SANITIZERS} -fsanitize=fuzzer-no-link)
add_link_options(${CORVELLINTH_SANITIZERS})
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
