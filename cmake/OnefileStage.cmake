# Staging of onefile_pack()'s data folder, and the check of the names it
# holds. Included by OnefilePack.cmake for onefile_check_names(); run as a
# script (-P) with SOURCE, DESTINATION, DEPFILE and TARGET_FILE at build
# time, it checks and copies SOURCE into DESTINATION and writes DEPFILE:
# TARGET_FILE depends on every file and folder copied. CMake code only.
set(_ONEFILE_STAGE_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# Stops with an error naming the source path and the reason when a path
# below `root` has a component that Windows, and so the packer, refuses.
function(onefile_check_names root files)
    string(LENGTH "${root}/" root_length)
    string(ASCII 1 first_control)
    string(ASCII 31 last_control)
    foreach(file IN LISTS files)
        # A name with ';' comes apart in a list; its pieces are not paths.
        string(FIND "${file}" "${root}/" at)
        if(NOT at EQUAL 0)
            continue()
        endif()
        string(SUBSTRING "${file}" ${root_length} -1 relative)
        string(REPLACE "/" ";" components "${relative}")
        foreach(component IN LISTS components)
            set(why)
            if(component MATCHES "([<>:\"|?*\\])")
                set(why "has the character '${CMAKE_MATCH_1}', which Windows does not allow in file names")
            elseif(component MATCHES "[${first_control}-${last_control}]")
                set(why "has a control character, which Windows does not allow in file names")
            elseif(component MATCHES "[. ]$")
                set(why "ends in a dot or a space, which Windows drops")
            elseif(component MATCHES "^([Cc][Oo][Nn]|[Pp][Rr][Nn]|[Aa][Uu][Xx]|[Nn][Uu][Ll]|[Cc][Oo][Mm][1-9]|[Ll][Pp][Tt][1-9])([.].*)?$")
                set(why "is a reserved Windows device name")
            endif()
            if(why)
                message(FATAL_ERROR "onefile_pack: ${file}: '${component}' ${why}")
            endif()
        endforeach()
    endforeach()
endfunction()

# A path as a depfile writes it: space, '#' and '\' escaped, '$' doubled.
function(_onefile_depfile_path path out_var)
    string(REPLACE "\\" "\\\\" path "${path}")
    string(REPLACE " " "\\ " path "${path}")
    string(REPLACE "#" "\\#" path "${path}")
    string(REPLACE "$" "$$" path "${path}")
    set(${out_var} "${path}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    if(NOT IS_DIRECTORY "${SOURCE}")
        message(FATAL_ERROR "onefile_pack: DATA_DIR ${SOURCE} is not a directory")
    endif()
    file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}")
    _onefile_depfile_path("${TARGET_FILE}" target)
    _onefile_depfile_path("${SOURCE}" folder)
    set(text "${target}: ${folder}")
    # A name with ';' comes apart in the list and is left out; its folder,
    # listed too, still changes when such a file comes or goes.
    file(GLOB_RECURSE all LIST_DIRECTORIES true "${SOURCE}/*")
    foreach(entry IN LISTS all)
        if(EXISTS "${entry}")
            onefile_check_names("${SOURCE}" "${entry}")
            _onefile_depfile_path("${entry}" path)
            string(APPEND text " \\\n  ${path}")
        endif()
    endforeach()
    file(WRITE "${DEPFILE}" "${text}\n")
endif()
