# Makes a delay-load import library for DLL from the exports named by IMPORT_LIB.
# cmake -DNM=.. -DDLLTOOL=.. -DIMPORT_LIB=libx.a -DDLL=x.dll -DOUT=libx_delay.a -P this
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIB} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} could not read ${IMPORT_LIB}")
endif()
string(REGEX MATCHALL "__imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
list(REMOVE_DUPLICATES imports)
list(SORT imports)
set(def "LIBRARY ${DLL}\nEXPORTS\n")
foreach(symbol IN LISTS imports)
    string(REGEX REPLACE "^__imp_" "" name "${symbol}")
    string(APPEND def "    ${name}\n")
endforeach()
get_filename_component(out_dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
file(WRITE ${OUT}.def "${def}")
execute_process(COMMAND ${DLLTOOL} --input-def ${OUT}.def --dllname ${DLL} --output-delaylib ${OUT}
                RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUT}")
endif()
