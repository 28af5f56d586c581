# onefile_pack(): builds one packed executable from a library target and a
# folder of data files, with onefile-pack and the launcher stub. CMake code
# only: the tools it runs come from ONEFILE_PACK_EXECUTABLE and
# ONEFILE_LAUNCHER_STUB (set by OnefileConfig.cmake or by the caller).
include_guard(GLOBAL)
if(CMAKE_VERSION VERSION_LESS 3.20)
    message(FATAL_ERROR "onefile_pack() needs CMake 3.20 or later")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/OnefileStage.cmake)

# onefile_pack(TARGET t OUTPUT file.exe [DATA_DIR dir] [LIBRARIES target...]
#              [FILES file...] [MAIN name.dll]
#              [ICON f.ico] [PRODUCT s] [COMPANY s] [VERSION a.b.c[.d]]
#              [DESCRIPTION s] [COPYRIGHT s] [ORIGINAL_FILENAME s]
#              [MANIFEST f] [RUN_DIRECTORY template] [STUB launcher.exe]
#              [PACKER path] [NO_CHECK | STRICT] [NO_PROGRESS] [COMPRESS [LEVEL]])
#
# Adds the target <t>_packed (built by default) that stages DATA_DIR's
# contents, the DLLs of the LIBRARIES targets and the FILES in a fresh
# application folder in the build tree (libraries and files at its top,
# beside the application library), then packs t's DLL as MAIN (default
# main.dll) with that folder into OUTPUT; any of them changing packs again.
# Its properties ONEFILE_APP_DIR and ONEFILE_OUTPUT hold that folder and
# OUTPUT's full path. A relative OUTPUT is below the current binary
# directory; relative DATA_DIR, FILES, ICON and MANIFEST are below the
# current source directory. A DATA_DIR missing at configure time must be
# there when the build packs; it is then copied on every build. STUB and
# PACKER may name targets of the same project instead of files. VERSION
# defaults to the project's version and COMPANY to PRODUCT. RUN_DIRECTORY
# is the run-directory template (onefile-pack --run-directory; "/" may stand
# for "\"), by default the stub's own. STRICT makes
# every packer warning an error that fails the build. COMPRESS stores the
# payload compressed (onefile-pack --compress), at LEVEL 1 to 19 when given.
function(onefile_pack)
    set(flags NO_CHECK STRICT NO_PROGRESS)
    set(single TARGET OUTPUT DATA_DIR MAIN ICON PRODUCT COMPANY VERSION DESCRIPTION
        COPYRIGHT ORIGINAL_FILENAME MANIFEST STUB PACKER RUN_DIRECTORY COMPRESS)
    set(multi LIBRARIES FILES)
    cmake_parse_arguments(PARSE_ARGV 0 P "${flags}" "${single}" "${multi}")
    if(P_NO_CHECK AND P_STRICT)
        message(FATAL_ERROR "onefile_pack: NO_CHECK and STRICT exclude each other")
    endif()
    # The launcher is a 64-bit process; a 32-bit library can never be loaded.
    if(CMAKE_SIZEOF_VOID_P AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
        message(FATAL_ERROR "onefile_pack: this build makes ${CMAKE_SIZEOF_VOID_P}-byte pointers; "
                            "the launcher loads only 64-bit (x86-64) DLLs")
    endif()
    # Defaults from the project, so that a packed file never keeps the
    # launcher's own texts by accident.
    if(NOT DEFINED P_VERSION AND PROJECT_VERSION)
        set(P_VERSION ${PROJECT_VERSION})
    endif()
    if(NOT DEFINED P_COMPANY AND DEFINED P_PRODUCT)
        set(P_COMPANY ${P_PRODUCT})
    endif()
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
    foreach(library IN LISTS P_LIBRARIES)
        if(NOT TARGET ${library})
            message(FATAL_ERROR "onefile_pack: LIBRARIES ${library} is not a target of this project")
        endif()
        get_target_property(type ${library} TYPE)
        if(NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
            message(FATAL_ERROR "onefile_pack: LIBRARIES ${library} is a ${type}, not a DLL")
        endif()
    endforeach()
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
                 ORIGINAL_FILENAME:--original-filename MANIFEST:--manifest
                 RUN_DIRECTORY:--run-directory)
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
    if(P_STRICT)
        list(APPEND options --strict)
    endif()
    if(P_NO_PROGRESS)
        list(APPEND options --no-progress)
    endif()
    if("COMPRESS" IN_LIST P_KEYWORDS_MISSING_VALUES)
        list(APPEND options --compress)
    elseif(DEFINED P_COMPRESS)
        if(NOT P_COMPRESS MATCHES "^[0-9]+$" OR P_COMPRESS LESS 1 OR P_COMPRESS GREATER 19)
            message(FATAL_ERROR "onefile_pack: COMPRESS ${P_COMPRESS} is not a level from 1 to 19")
        endif()
        list(APPEND options --compress=${P_COMPRESS})
    endif()

    # DATA_DIR is copied by a script that also writes, as a depfile, every
    # file and folder it copied: files added, changed or removed pack again,
    # names that a CMake list cannot hold (';') included, and a DATA_DIR that
    # the build makes works like any other.
    set(copy_data)
    set(file_depends)
    set(depfile)
    if(P_DATA_DIR)
        get_filename_component(data_dir ${P_DATA_DIR} ABSOLUTE
                               BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        if(IS_DIRECTORY ${data_dir})
            file(GLOB_RECURSE data_files LIST_DIRECTORIES false ${data_dir}/*)
            onefile_check_names("${data_dir}" "${data_files}")
        endif()
        set(copy_data COMMAND ${CMAKE_COMMAND} -DSOURCE=${data_dir} -DDESTINATION=${app}
                              -DDEPFILE=${work}/data.d -DTARGET_FILE=${output}
                              -P ${_ONEFILE_STAGE_SCRIPT})
        set(depfile DEPFILE ${work}/data.d)
    endif()
    set(copy_files)
    foreach(file IN LISTS P_FILES)
        get_filename_component(file ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        get_filename_component(directory ${file} DIRECTORY)
        onefile_check_names("${directory}" "${file}")
        list(APPEND file_depends ${file})
        list(APPEND copy_files COMMAND ${CMAKE_COMMAND} -E copy ${file} ${app}/)
    endforeach()
    foreach(library IN LISTS P_LIBRARIES)
        list(APPEND depends ${library})
        list(APPEND copy_files COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${library}> ${app}/)
    endforeach()
    # Neither make nor ninja re-runs a command when one of its inputs goes
    # away or when only its arguments change; this file does change then
    # (it is rewritten only when its contents differ), so the pack re-runs.
    string(REPLACE ";" "\n" inputs_text "${main};${options};${P_LIBRARIES};${P_FILES}\n")
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
        ${copy_files}
        # The library is packed from where it was built, so that the
        # packer's messages name it as the user knows it.
        COMMAND ${PACKER} pack ${app} -o ${output} --stub ${STUB} --quiet
                --main-file $<TARGET_FILE:${P_TARGET}> ${options}
        DEPENDS ${depends} ${file_depends} ${work}/inputs.txt
        ${depfile}
        COMMENT "Packing ${P_TARGET} into ${output}"
        VERBATIM)
    add_custom_target(${P_TARGET}_packed ALL DEPENDS ${output})
    # For tests and install rules: what was packed, and where it went.
    set_target_properties(${P_TARGET}_packed PROPERTIES
        ONEFILE_APP_DIR ${app} ONEFILE_OUTPUT ${output})
endfunction()
