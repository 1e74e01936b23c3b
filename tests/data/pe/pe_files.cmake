# Windows executables with version resources, made at build time by the MinGW-w64 binutils,
# for the tests of the file-version reader and the update server. They land in
# ${KESTRUN_TEST_PE_DIR}; the target kestrun_test_pe_files makes them.
find_program(KESTRUN_WINDRES x86_64-w64-mingw32-windres REQUIRED)
find_program(KESTRUN_PE_LD x86_64-w64-mingw32-ld REQUIRED)
set(KESTRUN_TEST_PE_DIR "${CMAKE_BINARY_DIR}/tests/pe" CACHE INTERNAL "Test executables")
set(pe_sources ${CMAKE_CURRENT_LIST_DIR})
set(pe_outputs)
foreach(name zelmo_5_2_0_117 largest_parts other_resources no_version)
    set(obj "${KESTRUN_TEST_PE_DIR}/${name}.o")
    set(exe "${KESTRUN_TEST_PE_DIR}/${name}.exe")
    add_custom_command(OUTPUT "${exe}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${KESTRUN_TEST_PE_DIR}"
        # "cat" as preprocessor: the files use no macros, and no MinGW compiler is needed.
        COMMAND ${KESTRUN_WINDRES} --preprocessor=cat -O coff -i "${pe_sources}/${name}.rc"
                -o "${obj}"
        COMMAND ${KESTRUN_PE_LD} --entry=0 -o "${exe}" "${obj}"
        DEPENDS "${pe_sources}/${name}.rc"
        COMMENT "Making test executable ${name}.exe"
        VERBATIM)
    list(APPEND pe_outputs "${exe}")
endforeach()
# A 32-bit executable, as the client application is one.
set(obj "${KESTRUN_TEST_PE_DIR}/zelmo32_5_2_0_118.o")
set(exe "${KESTRUN_TEST_PE_DIR}/zelmo32_5_2_0_118.exe")
add_custom_command(OUTPUT "${exe}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${KESTRUN_TEST_PE_DIR}"
    COMMAND ${KESTRUN_WINDRES} --preprocessor=cat -F pe-i386 -O coff
            -i "${pe_sources}/zelmo32_5_2_0_118.rc" -o "${obj}"
    COMMAND ${KESTRUN_PE_LD} -m i386pe -T "${pe_sources}/pe32.x" --entry=0 -o "${exe}" "${obj}"
    DEPENDS "${pe_sources}/zelmo32_5_2_0_118.rc" "${pe_sources}/pe32.x"
    COMMENT "Making test executable zelmo32_5_2_0_118.exe"
    VERBATIM)
list(APPEND pe_outputs "${exe}")
if(NOT TARGET kestrun_test_pe_files)
    add_custom_target(kestrun_test_pe_files DEPENDS ${pe_outputs})
endif()
