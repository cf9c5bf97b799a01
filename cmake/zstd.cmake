# zstd, built from its source release in two variants:
#   zstd_decompress  only lib/common and lib/decompress, no legacy formats,
#                    for the launcher, which must stay small;
#   zstd_full        adds the compressor with multithreading, for the packer
#                    and the tests; it shares zstd_decompress's objects so
#                    that a program can link both.
set(ZSTD_SOURCE_DIR ${PROJECT_SOURCE_DIR}/.deps/zstd CACHE PATH "zstd source tree (scripts/setup fetches it)")
if(NOT EXISTS ${ZSTD_SOURCE_DIR}/lib/zstd.h)
  message(FATAL_ERROR "zstd source not found in ${ZSTD_SOURCE_DIR}: run scripts/setup")
endif()
set(ZSTD_LIB ${ZSTD_SOURCE_DIR}/lib)

set(ZSTD_COMMON_SOURCES
    ${ZSTD_LIB}/common/entropy_common.c ${ZSTD_LIB}/common/error_private.c
    ${ZSTD_LIB}/common/fse_decompress.c ${ZSTD_LIB}/common/zstd_common.c
    ${ZSTD_LIB}/common/xxhash.c ${ZSTD_LIB}/common/debug.c)
set(ZSTD_DECOMPRESS_SOURCES
    ${ZSTD_LIB}/decompress/huf_decompress.c ${ZSTD_LIB}/decompress/zstd_ddict.c
    ${ZSTD_LIB}/decompress/zstd_decompress.c ${ZSTD_LIB}/decompress/zstd_decompress_block.c)
file(GLOB ZSTD_COMPRESS_SOURCES ${ZSTD_LIB}/compress/*.c)

add_library(zstd_decompress STATIC ${ZSTD_COMMON_SOURCES} ${ZSTD_DECOMPRESS_SOURCES})
target_include_directories(zstd_decompress SYSTEM PUBLIC ${ZSTD_LIB})
target_compile_definitions(zstd_decompress PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM
                                                   ZSTD_NO_TRACE XXH_NAMESPACE=ZSTD_)
target_compile_options(zstd_decompress PRIVATE -Os -ffunction-sections -fdata-sections)
# The content checksum's hash runs over every decompressed byte: built for
# size, xxhash drops its inlining and took about as long as the decoding
# itself; built for speed it adds a few KiB.
set_source_files_properties(${ZSTD_LIB}/common/xxhash.c PROPERTIES COMPILE_OPTIONS -O2)

add_library(zstd_full STATIC ${ZSTD_LIB}/common/pool.c ${ZSTD_LIB}/common/threading.c
                             ${ZSTD_COMPRESS_SOURCES})
target_link_libraries(zstd_full PUBLIC zstd_decompress)
target_include_directories(zstd_full SYSTEM PUBLIC ${ZSTD_LIB})
target_compile_definitions(zstd_full PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM ZSTD_NO_TRACE
                                     XXH_NAMESPACE=ZSTD_ PUBLIC ZSTD_MULTITHREAD)
target_compile_options(zstd_full PRIVATE -O2)
