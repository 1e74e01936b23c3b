# kestrun_add_version_note(<target> <a.b.c.d>)
# Adds the ELF note ".note.fileversion" holding the four version numbers, which the
# file-version reader in common/ finds again in the built executable.
function(kestrun_add_version_note target version)
    string(REPLACE "." ";" parts "${version}")
    list(GET parts 0 VERSION_MAJOR)
    list(GET parts 1 VERSION_MINOR)
    list(GET parts 2 VERSION_BUILD)
    list(GET parts 3 VERSION_REVISION)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_note.cpp")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/version_note.cpp.in" "${out}" @ONLY)
    target_sources(${target} PRIVATE "${out}")
endfunction()
