# onefile_pack(): builds one packed executable from a library target and a
# folder of data files, with onefile-pack and the launcher stub. CMake code
# only: the tools it runs come from ONEFILE_PACK_EXECUTABLE and
# ONEFILE_LAUNCHER_STUB (set by OnefileConfig.cmake or by the caller).
include_guard(GLOBAL)
if(CMAKE_VERSION VERSION_LESS 3.17)
    message(FATAL_ERROR "onefile_pack() needs CMake 3.17 or later")
endif()

# onefile_pack(TARGET t OUTPUT file.exe [DATA_DIR dir] [MAIN name.dll]
#              [ICON f.ico] [PRODUCT s] [COMPANY s] [VERSION a.b.c[.d]]
#              [DESCRIPTION s] [COPYRIGHT s] [ORIGINAL_FILENAME s]
#              [MANIFEST f] [STUB launcher.exe] [PACKER path] [NO_CHECK]
#              [NO_PROGRESS])
#
# Adds the target <t>_packed (built by default) that copies t's DLL as MAIN
# (default main.dll) and DATA_DIR's contents into a fresh application folder
# in the build tree, then packs that folder into OUTPUT. Its properties
# ONEFILE_APP_DIR and ONEFILE_OUTPUT hold that folder and OUTPUT's full
# path. A relative OUTPUT is below the current binary directory; relative
# DATA_DIR, ICON and MANIFEST are below the current source directory. STUB
# and PACKER may name targets of the same project instead of files.
function(onefile_pack)
    set(flags NO_CHECK NO_PROGRESS)
    set(single TARGET OUTPUT DATA_DIR MAIN ICON PRODUCT COMPANY VERSION DESCRIPTION
        COPYRIGHT ORIGINAL_FILENAME MANIFEST STUB PACKER)
    cmake_parse_arguments(PARSE_ARGV 0 P "${flags}" "${single}" "")
    if(P_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "onefile_pack: unknown arguments: ${P_UNPARSED_ARGUMENTS}")
    endif()
    foreach(required TARGET OUTPUT)
        if(NOT P_${required})
            message(FATAL_ERROR "onefile_pack: ${required} is required")
        endif()
    endforeach()
    if(TARGET ${P_TARGET})
        get_target_property(type ${P_TARGET} TYPE)
        if(NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
            message(FATAL_ERROR "onefile_pack: ${P_TARGET} is a ${type}; the application "
                                "must be a SHARED or MODULE library (a DLL exporting run_code)")
        endif()
    endif()
    # The packer checks the ranges; this catches the shape at configure time.
    if(DEFINED P_VERSION AND NOT P_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "onefile_pack: VERSION '${P_VERSION}' is not 1 to 4 "
                            "dot-separated numbers")
    endif()
    set(main main.dll)
    if(P_MAIN)
        set(main ${P_MAIN})
    endif()

    set(depends ${P_TARGET})
    # A tool given as a target of this project, as a file, or by default.
    foreach(tool STUB PACKER)
        set(value ${P_${tool}})
        if(NOT value AND tool STREQUAL "STUB")
            set(value ${ONEFILE_LAUNCHER_STUB})
            # The stub built by the same project (this repository's own tree).
            if(ONEFILE_LAUNCHER_STUB_TARGET AND TARGET ${ONEFILE_LAUNCHER_STUB_TARGET})
                set(value ${ONEFILE_LAUNCHER_STUB_TARGET})
            endif()
        elseif(NOT value)
            set(value ${ONEFILE_PACK_EXECUTABLE})
        endif()
        if(NOT value)
            message(FATAL_ERROR "onefile_pack: no ${tool}: give ${tool}, or set ONEFILE_PACK_EXECUTABLE "
                                "and ONEFILE_LAUNCHER_STUB (find_package(Onefile) does)")
        endif()
        list(APPEND depends ${value})
        if(TARGET ${value})
            set(value $<TARGET_FILE:${value}>)
        endif()
        set(${tool} ${value})
    endforeach()

    get_filename_component(output ${P_OUTPUT} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_BINARY_DIR})
    get_filename_component(output_dir ${output} DIRECTORY)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/onefile/${P_TARGET})
    set(app ${work}/app)

    set(options)
    foreach(path ICON MANIFEST)
        if(P_${path})
            get_filename_component(P_${path} ${P_${path}} ABSOLUTE
                                   BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
            list(APPEND depends ${P_${path}})
        endif()
    endforeach()
    foreach(pair ICON:--icon PRODUCT:--product COMPANY:--company VERSION:--version
                 DESCRIPTION:--description COPYRIGHT:--copyright
                 ORIGINAL_FILENAME:--original-filename MANIFEST:--manifest)
        string(REPLACE ":" ";" pair ${pair})
        list(GET pair 0 key)
        list(GET pair 1 option)
        if(DEFINED P_${key})
            list(APPEND options ${option} ${P_${key}})
        endif()
    endforeach()
    if(P_MAIN)
        list(APPEND options --main ${main})
    endif()
    if(P_NO_CHECK)
        list(APPEND options --no-check)
    endif()
    if(P_NO_PROGRESS)
        list(APPEND options --no-progress)
    endif()

    set(copy_data)
    set(data_files)
    if(P_DATA_DIR)
        get_filename_component(data_dir ${P_DATA_DIR} ABSOLUTE
                               BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        if(NOT IS_DIRECTORY ${data_dir})
            message(FATAL_ERROR "onefile_pack: DATA_DIR ${data_dir} is not a directory")
        endif()
        file(GLOB_RECURSE data_files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${data_dir}/*)
        list(SORT data_files)
        set(copy_data COMMAND ${CMAKE_COMMAND} -E copy_directory ${data_dir} ${app})
    endif()
    # Neither make nor ninja re-runs a command when one of its inputs goes
    # away or when only its arguments change; this file does change then
    # (it is rewritten only when its contents differ), so the pack re-runs.
    string(REPLACE ";" "\n" inputs_text "${main};${options};${data_files}\n")
    set(old_text)
    if(EXISTS ${work}/inputs.txt)
        file(READ ${work}/inputs.txt old_text)
    endif()
    if(NOT old_text STREQUAL inputs_text)
        file(WRITE ${work}/inputs.txt "${inputs_text}")
    endif()

    add_custom_command(
        OUTPUT ${output}
        # A fresh folder each time: files removed from DATA_DIR must not stay.
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${app}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${app} ${output_dir}
        ${copy_data}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${P_TARGET}> ${app}/${main}
        COMMAND ${PACKER} pack ${app} -o ${output} --stub ${STUB} --quiet ${options}
        DEPENDS ${depends} ${data_files} ${work}/inputs.txt
        COMMENT "Packing ${P_TARGET} into ${output}"
        VERBATIM)
    add_custom_target(${P_TARGET}_packed ALL DEPENDS ${output})
    # For tests and install rules: what was packed, and where it went.
    set_target_properties(${P_TARGET}_packed PROPERTIES
        ONEFILE_APP_DIR ${app} ONEFILE_OUTPUT ${output})
endfunction()
