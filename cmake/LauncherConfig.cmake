# The build's fixed values: the update server's base address and the brand web site.
# Both are HTTPS addresses without a trailing slash; the launcher appends "/manifest_light.json"
# and friends to the first, and hands the second to the shell.

set(LAUNCHER_UPDATE_BASE_URL "https://localhost:8443" CACHE STRING
    "Update server base address (https://host[:port][/path], no trailing slash)")
set(LAUNCHER_WEBSITE_URL "https://localhost:8443/site" CACHE STRING
    "Brand web site opened by the WEBSITE label (https://..., no trailing slash)")

function(launcher_require_https_address name)
    set(value "${${name}}")
    if(NOT value MATCHES "^https://[A-Za-z0-9.-]+(:[0-9]+)?(/[^\"\\\\ ]*)?$")
        message(FATAL_ERROR
            "${name} must be an https:// address such as https://updates.example.com, "
            "got '${value}'.")
    endif()
    if(value MATCHES "/$")
        message(FATAL_ERROR
            "${name} must not end with a slash (the launcher appends \"/manifest_light.json\" "
            "and the like), got '${value}'.")
    endif()
endfunction()

launcher_require_https_address(LAUNCHER_UPDATE_BASE_URL)
launcher_require_https_address(LAUNCHER_WEBSITE_URL)

# Optional: the studio's ECDSA P-256 public keys (a PEM file as `openssl ec -pubout` writes,
# one or more keys). With keys the launcher takes only publications signed by one of them;
# without, it reads unsigned publications as always. The keys become X/Y bytes in
# generated/net/signing_keys.h.
set(LAUNCHER_SIGNING_KEYS "" CACHE FILEPATH
    "PEM file of ECDSA P-256 public keys the launcher accepts signatures of (empty: none)")

find_package(Python3 COMPONENTS Interpreter QUIET)

# Writes header from the PEM file keys ("" for none); fails configuring on a bad file.
function(launcher_generate_signing_keys keys header)
    get_filename_component(folder "${header}" DIRECTORY)
    file(MAKE_DIRECTORY "${folder}")
    if(keys STREQUAL "")
        # No keys, no Python needed: the launcher checks no signatures.
        string(CONCAT text "// No LAUNCHER_SIGNING_KEYS: signatures are not checked.\n#pragma once\n\n"
                           "#include <cstddef>\n#include <cstdint>\n\n"
                           "inline constexpr size_t kSigningKeyCount = 0;\n"
                           "inline constexpr uint8_t kSigningKeys[1][64] = {};\n")
        if(EXISTS "${header}")
            file(READ "${header}" old)
        endif()
        if(NOT old STREQUAL text)
            file(WRITE "${header}" "${text}")
        endif()
        return()
    endif()
    get_filename_component(source "${keys}" ABSOLUTE)
    if(NOT EXISTS "${source}")
        message(FATAL_ERROR "LAUNCHER_SIGNING_KEYS: no such file '${keys}'.")
    endif()
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    if(NOT Python3_EXECUTABLE)
        message(FATAL_ERROR "Python 3 is needed to read LAUNCHER_SIGNING_KEYS.")
    endif()
    execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/signing_keys.py
                            "${source}" "${header}"
                    RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_VARIABLE output)
    if(NOT result EQUAL 0)
        string(STRIP "${error}" error)
        message(FATAL_ERROR "${error}")
    endif()
    string(STRIP "${output}" output)
    string(REPLACE "\n" ";" lines "${output}")
    foreach(line IN LISTS lines)
        message(STATUS "${line}")
    endforeach()
endfunction()
