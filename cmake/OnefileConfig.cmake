# The Onefile package: the packer and the launcher stub of this prefix, and
# onefile_pack() to pack a library target with them (OnefilePack.cmake).
get_filename_component(_onefile_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# The packer runs where the build runs: the Windows one on a Windows host,
# the native one (built for Linux) elsewhere.
if(CMAKE_HOST_WIN32)
    set(_onefile_packer onefile-pack.exe)
else()
    set(_onefile_packer onefile-pack)
endif()
set(ONEFILE_PACK_EXECUTABLE "${_onefile_prefix}/bin/${_onefile_packer}" CACHE FILEPATH
    "onefile-pack, as onefile_pack() runs it")
set(ONEFILE_LAUNCHER_STUB "${_onefile_prefix}/bin/launcher.exe" CACHE FILEPATH
    "Launcher stub onefile_pack() packs behind")
# For a cross build from Linux: -DCMAKE_TOOLCHAIN_FILE=${ONEFILE_TOOLCHAIN_FILE}.
set(ONEFILE_TOOLCHAIN_FILE "${_onefile_prefix}/share/onefile/mingw-w64.cmake")

foreach(_onefile_file IN ITEMS "${ONEFILE_PACK_EXECUTABLE}" "${ONEFILE_LAUNCHER_STUB}")
    if(NOT EXISTS "${_onefile_file}")
        set(Onefile_FOUND FALSE)
        set(Onefile_NOT_FOUND_MESSAGE "${_onefile_file} does not exist")
    endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/OnefilePack.cmake")
unset(_onefile_prefix)
unset(_onefile_packer)
unset(_onefile_file)
