# System DLLs that are not KnownDLLs are found by the ordinary search, which starts in the
# executable's own folder: a download folder anyone can write to. The launcher therefore imports
# them through delay-load libraries, so the first call loads them, after the entry point has
# restricted DLL loading to the system folder. The import libraries are made here with dlltool
# from the toolchain's own ones, keeping the same function names.

find_program(LAUNCHER_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool
             REQUIRED)
find_program(LAUNCHER_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
find_program(LAUNCHER_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)

# DLLs the executable may import directly: the system's KnownDLLs, which are always mapped from
# the system folder whatever the search order.
set(LAUNCHER_ALLOWED_IMPORTS
    advapi32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll
    shlwapi.dll user32.dll)

# launcher_delay_import(<var> <name>...): for each library name (winhttp, gdiplus, ...) makes
# lib<name>_delay.a in the build folder; <var> receives their paths.
function(launcher_delay_import var)
    set(outputs)
    foreach(name IN LISTS ARGN)
        find_file(import_lib_${name} lib${name}.a
                  PATHS /usr/x86_64-w64-mingw32/lib ${CMAKE_FIND_ROOT_PATH}
                  PATH_SUFFIXES lib NO_DEFAULT_PATH REQUIRED)
        set(out ${CMAKE_BINARY_DIR}/delayimp/lib${name}_delay.a)
        add_custom_command(
            OUTPUT ${out}
            COMMAND ${CMAKE_COMMAND} -DNM=${LAUNCHER_NM} -DDLLTOOL=${LAUNCHER_DLLTOOL}
                    -DIMPORT_LIB=${import_lib_${name}} -DDLL=${name}.dll -DOUT=${out}
                    -P ${CMAKE_SOURCE_DIR}/cmake/make_delay_lib.cmake
            DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_delay_lib.cmake
            COMMENT "Delay-load import library for ${name}.dll")
        list(APPEND outputs ${out})
    endforeach()
    add_custom_target(launcher_delay_imports DEPENDS ${outputs})
    set(${var} ${outputs} PARENT_SCOPE)
endfunction()

# Fails the build when the executable imports a DLL outside LAUNCHER_ALLOWED_IMPORTS.
function(launcher_check_imports target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${LAUNCHER_OBJDUMP} -DEXE=$<TARGET_FILE:${target}>
                "-DALLOWED=${LAUNCHER_ALLOWED_IMPORTS}"
                -P ${CMAKE_SOURCE_DIR}/cmake/check_imports.cmake
        VERBATIM)
endfunction()
