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
