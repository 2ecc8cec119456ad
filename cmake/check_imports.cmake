# Fails when EXE imports (at load time) a DLL outside ALLOWED. Delay-loaded DLLs are not in the
# import table and are loaded later, from the system folder.
# cmake -DOBJDUMP=.. -DEXE=x.exe -DALLOWED="a.dll;b.dll" -P this
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${OBJDUMP} could not read ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
set(found)
set(refused)
foreach(line IN LISTS names)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll)
    list(APPEND found ${dll})
    if(NOT dll IN_LIST ALLOWED)
        list(APPEND refused ${dll})
    endif()
endforeach()
if(NOT found)
    message(FATAL_ERROR "No import table found in ${EXE}")
endif()
if(refused)
    list(JOIN refused ", " refused)
    # The decision on a line of its own: CMake wraps FATAL_ERROR text at a width, so where that
    # text breaks depends on the length of EXE's path.
    message("check_imports: refused ${refused}")
    message(FATAL_ERROR
        "${EXE} imports ${refused} at load time. DLLs outside the system's KnownDLLs are found "
        "through the executable's own folder before the program can restrict the search: link "
        "them through launcher_delay_import (cmake/DelayImports.cmake) instead.")
endif()
