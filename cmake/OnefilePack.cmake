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
#              [PACKER path] [SEARCH_PATHS dir...] [NO_DEFAULT_SEARCH]
#              [NO_CHECK | STRICT] [NO_PROGRESS]
#              [CONSOLE] [RUN program.exe] [COMPRESS [LEVEL]])
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
# for "\"), by default the stub's own. SEARCH_PATHS, then the compiler's own
# runtime folders and the packer's defaults (onefile-pack pack's, the same
# for the command line), supply the DLLs that the packed files import and
# nothing packed provides; NO_DEFAULT_SEARCH leaves SEARCH_PATHS alone. STRICT makes every packer warning an error that fails
# the build. CONSOLE makes the packed file a console program (onefile-pack
# --console). RUN packs an existing program instead of a library
# (onefile-pack --run): t is then an executable target (or any target)
# copied to the top of the folder like LIBRARIES, and RUN names the program
# in the folder that the run library starts. COMPRESS stores the payload
# compressed (onefile-pack --compress), at LEVEL 1 to 19 when given; COMPRESS
# max packs it in blocks that span files, for release builds.
function(onefile_pack)
    set(flags NO_CHECK STRICT NO_PROGRESS CONSOLE NO_DEFAULT_SEARCH)
    set(single TARGET OUTPUT DATA_DIR MAIN ICON PRODUCT COMPANY VERSION DESCRIPTION
        COPYRIGHT ORIGINAL_FILENAME MANIFEST STUB PACKER RUN_DIRECTORY RUN COMPRESS)
    set(multi LIBRARIES FILES SEARCH_PATHS)
    cmake_parse_arguments(PARSE_ARGV 0 P "${flags}" "${single}" "${multi}")
    if(P_NO_CHECK AND P_STRICT)
        message(FATAL_ERROR "onefile_pack: NO_CHECK and STRICT exclude each other")
    endif()
    if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
        set(toolchain ${ONEFILE_TOOLCHAIN_FILE})
        if(NOT toolchain)
            set(toolchain "a mingw-w64 toolchain file")
        endif()
        message(FATAL_ERROR "onefile_pack: this build makes ${CMAKE_SYSTEM_NAME} binaries, not 64-bit "
                            "Windows DLLs; configure a new build folder with -DCMAKE_TOOLCHAIN_FILE=${toolchain}")
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
    if(P_RUN AND P_MAIN)
        message(FATAL_ERROR "onefile_pack: RUN brings its own application library; MAIN does not go with it")
    endif()
    if(TARGET ${P_TARGET} AND NOT P_RUN)
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
            _onefile_require(${path} ${P_${path}})
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
    else()
        set(runtime)
        if(P_NO_DEFAULT_SEARCH)
            list(APPEND options --no-default-search)
        else()
            _onefile_runtime_folders(runtime)
        endif()
        foreach(folder IN LISTS P_SEARCH_PATHS runtime)
            get_filename_component(folder ${folder} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
            list(APPEND options --search-path ${folder})
        endforeach()
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
        if(NOT P_COMPRESS STREQUAL "max" AND
           (NOT P_COMPRESS MATCHES "^[0-9]+$" OR P_COMPRESS LESS 1 OR P_COMPRESS GREATER 19))
            message(FATAL_ERROR "onefile_pack: COMPRESS ${P_COMPRESS} is not a level from 1 to 19 nor max")
        endif()
        list(APPEND options --compress=${P_COMPRESS})
    endif()
    if(P_CONSOLE)
        list(APPEND options --console)
    endif()
    # The application: the target's DLL as MAIN, or the program the run
    # library (beside the stub) starts.
    set(application --main-file $<TARGET_FILE:${P_TARGET}>)
    if(P_RUN)
        set(application --run ${P_RUN})
        if(ONEFILE_RUN_LIBRARY_TARGET AND TARGET ${ONEFILE_RUN_LIBRARY_TARGET})
            list(APPEND depends ${ONEFILE_RUN_LIBRARY_TARGET})
        endif()
    endif()

    # DATA_DIR, the FILES and the LIBRARIES' DLLs are copied by a script that
    # refuses two sources of one name and writes, as a depfile, every file
    # and folder of DATA_DIR it copied: files added, changed or removed pack
    # again, names that a CMake list cannot hold (';') included, and a
    # DATA_DIR that the build makes works like any other.
    set(data_dir)
    set(file_depends)
    if(P_DATA_DIR)
        get_filename_component(data_dir ${P_DATA_DIR} ABSOLUTE
                               BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        _onefile_require(DATA_DIR ${data_dir})
        if(IS_DIRECTORY ${data_dir})
            file(GLOB_RECURSE data_files LIST_DIRECTORIES false ${data_dir}/*)
            onefile_check_names("${data_dir}" "${data_files}")
        endif()
    endif()
    set(sources_text)
    foreach(file IN LISTS P_FILES)
        get_filename_component(file ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        _onefile_require(FILES ${file})
        get_filename_component(directory ${file} DIRECTORY)
        onefile_check_names("${directory}" "${file}")
        list(APPEND file_depends ${file})
        string(APPEND sources_text "FILES\t${file}\n")
    endforeach()
    set(staged ${P_LIBRARIES})
    if(P_RUN)
        list(PREPEND staged ${P_TARGET})
    endif()
    foreach(library IN LISTS staged)
        list(APPEND depends ${library})
        string(APPEND sources_text "LIBRARIES\t$<TARGET_FILE:${library}>\n")
    endforeach()
    file(GENERATE OUTPUT ${work}/sources.txt CONTENT "${sources_text}")
    # Neither make nor ninja re-runs a command when one of its inputs goes
    # away or when only its arguments change; this file does change then
    # (it is rewritten only when its contents differ), so the pack re-runs.
    string(REPLACE ";" "\n" inputs_text "${main};${P_RUN};${options};${P_LIBRARIES};${P_FILES}\n")
    set(old_text)
    if(EXISTS ${work}/inputs.txt)
        file(READ ${work}/inputs.txt old_text)
    endif()
    if(NOT old_text STREQUAL inputs_text)
        file(WRITE ${work}/inputs.txt "${inputs_text}")
    endif()

    # The Makefile generators (CMake 3.25) merge each new depfile into what
    # they gathered before, so a removed file stays a dependency that never
    # exists and every build packs again; the staging drops the gathered
    # list, and the next build takes the depfile alone.
    set(gathered)
    if(CMAKE_GENERATOR MATCHES "Makefiles")
        set(gathered ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${P_TARGET}_packed.dir/compiler_depend.internal)
    endif()

    add_custom_command(
        OUTPUT ${output}
        # A fresh folder each time: files removed from DATA_DIR must not stay.
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${app}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${app} ${output_dir}
        COMMAND ${CMAKE_COMMAND} -DSOURCE=${data_dir} -DSOURCES=${work}/sources.txt -DDESTINATION=${app}
                -DDEPFILE=${work}/data.d -DGATHERED=${gathered} -DTARGET_FILE=${output}
                -P ${_ONEFILE_STAGE_SCRIPT}
        # The library is packed from where it was built, so that the
        # packer's messages name it as the user knows it.
        COMMAND ${PACKER} pack ${app} -o ${output} --stub ${STUB} --quiet
                ${application} ${options}
        DEPENDS ${depends} ${file_depends} ${work}/inputs.txt ${work}/sources.txt
        DEPFILE ${work}/data.d
        COMMENT "Packing ${P_TARGET} into ${output}"
        VERBATIM)
    add_custom_target(${P_TARGET}_packed ALL DEPENDS ${output})
    # For tests and install rules: what was packed, and where it went.
    set_target_properties(${P_TARGET}_packed PROPERTIES
        ONEFILE_APP_DIR ${app} ONEFILE_OUTPUT ${output})
endfunction()

# Stops the configuration for a path the build cannot have: one missing
# that the build does not make (only the build folder may hold such).
function(_onefile_require option path)
    if(NOT EXISTS "${path}")
        file(RELATIVE_PATH inside "${CMAKE_BINARY_DIR}" "${path}")
        if(inside MATCHES "^\\.\\./" OR IS_ABSOLUTE "${inside}")
            message(FATAL_ERROR "onefile_pack: ${option} ${path} does not exist")
        endif()
    endif()
endfunction()

# The folders of the compiler's own runtime DLLs (libstdc++, libgcc,
# winpthread), asked of the compiler once; empty for a compiler that
# cannot tell.
function(_onefile_runtime_folders out_var)
    get_property(known GLOBAL PROPERTY _ONEFILE_RUNTIME_FOLDERS SET)
    if(NOT known)
        set(folders)
        set(compiler ${CMAKE_CXX_COMPILER})
        if(NOT compiler)
            set(compiler ${CMAKE_C_COMPILER})
        endif()
        if(compiler AND NOT MSVC)
            foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
                execute_process(COMMAND ${compiler} -print-file-name=${dll} OUTPUT_VARIABLE path
                                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
                if(status EQUAL 0 AND IS_ABSOLUTE "${path}" AND EXISTS "${path}")
                    get_filename_component(folder "${path}" DIRECTORY)
                    get_filename_component(folder "${folder}" REALPATH)
                    list(APPEND folders ${folder})
                endif()
            endforeach()
            list(REMOVE_DUPLICATES folders)
        endif()
        set_property(GLOBAL PROPERTY _ONEFILE_RUNTIME_FOLDERS "${folders}")
    endif()
    get_property(folders GLOBAL PROPERTY _ONEFILE_RUNTIME_FOLDERS)
    set(${out_var} "${folders}" PARENT_SCOPE)
endfunction()
