# zstd for the payload's compressed form. Natively the packer and the tests
# link Debian's libzstd-dev. For Windows it is built here from Debian's own
# source package, which scripts/install-deps.sh unpacks into third_party/zstd:
# the decoder alone for the launcher (onefile_zstd_decode), the encoder too
# for onefile-pack.exe (onefile_zstd).
include_guard(GLOBAL)
if(NOT WIN32)
    find_path(ONEFILE_ZSTD_INCLUDE zstd.h)
    find_library(ONEFILE_ZSTD_LIBRARY zstd)
    if(NOT ONEFILE_ZSTD_INCLUDE OR NOT ONEFILE_ZSTD_LIBRARY)
        message(FATAL_ERROR "libzstd-dev is missing: run scripts/install-deps.sh")
    endif()
    foreach(name onefile_zstd_decode onefile_zstd)
        add_library(${name} INTERFACE)
        target_include_directories(${name} SYSTEM INTERFACE ${ONEFILE_ZSTD_INCLUDE})
        target_link_libraries(${name} INTERFACE ${ONEFILE_ZSTD_LIBRARY})
    endforeach()
    return()
endif()

file(GLOB onefile_zstd_found LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/third_party/zstd/*zstd-*/lib)
list(SORT onefile_zstd_found)
list(POP_BACK onefile_zstd_found onefile_zstd_default)
# Empty: the newest one in third_party/zstd, looked for at every
# configuration, so that a build configured before the package was fetched
# finds it afterwards.
set(ONEFILE_ZSTD_SOURCE "" CACHE PATH "zstd's lib folder from Debian's source package (empty: found in third_party/zstd)")
set(z "${ONEFILE_ZSTD_SOURCE}")
if(NOT z)
    set(z "${onefile_zstd_default}")
endif()
if(NOT EXISTS "${z}/decompress/zstd_decompress.c")
    message(FATAL_ERROR "zstd's source package is missing (ONEFILE_ZSTD_SOURCE='${z}'): "
                        "run scripts/install-deps.sh")
endif()
set(onefile_zstd_common ${z}/common/entropy_common.c ${z}/common/error_private.c
    ${z}/common/fse_decompress.c ${z}/common/xxhash.c ${z}/common/zstd_common.c)
set(onefile_zstd_decoder ${z}/decompress/huf_decompress.c ${z}/decompress/zstd_ddict.c
    ${z}/decompress/zstd_decompress.c ${z}/decompress/zstd_decompress_block.c)
file(GLOB onefile_zstd_encoder ${z}/compress/*.c)
list(FILTER onefile_zstd_encoder EXCLUDE REGEX "zstdmt_compress\\.c$")  # the packer runs its own threads
add_library(onefile_zstd_decode STATIC ${onefile_zstd_common} ${onefile_zstd_decoder})
add_library(onefile_zstd STATIC ${onefile_zstd_encoder} ${z}/common/debug.c)
target_link_libraries(onefile_zstd PUBLIC onefile_zstd_decode)
foreach(name onefile_zstd_decode onefile_zstd)
    target_include_directories(${name} SYSTEM PUBLIC ${z})
    # -O3 as zstd builds itself: the decoder measured 4 % faster than at
    # -O2. The x86-64 assembly of the Huffman decoder is written for ELF and
    # Mach-O; the C path is used. No legacy formats: the packer writes
    # only the current one.
    target_compile_definitions(${name} PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 XXH_NAMESPACE=ZSTD_)
    target_compile_options(${name} PRIVATE -O3 -w)
    set_target_properties(${name} PROPERTIES C_VISIBILITY_PRESET hidden ONEFILE_THIRD_PARTY ON)
endforeach()
