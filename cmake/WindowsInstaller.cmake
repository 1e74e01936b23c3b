# The Windows installer kestrun-<version>.msi of the three programs, made by msitools' wixl
# (target `windows_installer`, run by `make windows-installer`).
find_program(KESTRUN_WIXL wixl)
if(NOT KESTRUN_WIXL)
    message(STATUS "wixl not found: no Windows installer")
    return()
endif()
# wixl takes the files' paths relative to the folder it runs in: the build folder.
file(RELATIVE_PATH KESTRUN_ICON ${CMAKE_BINARY_DIR} ${kestrun_windows_ico})
# The installer carries copies without debug information.
set(stripped)
foreach(program kestrun kbm kvu)
    string(TOUPPER ${program} upper)
    set(${upper}_EXE installer/${program}.exe)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${${upper}_EXE}
        COMMAND ${CMAKE_STRIP} -o ${CMAKE_BINARY_DIR}/${${upper}_EXE} $<TARGET_FILE:${program}>
        DEPENDS ${program})
    list(APPEND stripped ${CMAKE_BINARY_DIR}/${${upper}_EXE})
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/kestrun.wxs.in
               ${CMAKE_BINARY_DIR}/installer/kestrun.wxs @ONLY)
set(msi ${CMAKE_BINARY_DIR}/kestrun-${KESTRUN_VERSION}.msi)
add_custom_command(OUTPUT ${msi}
    COMMAND ${KESTRUN_WIXL} --arch x64 -o ${msi} installer/kestrun.wxs
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${stripped} ${CMAKE_BINARY_DIR}/installer/kestrun.wxs ${kestrun_windows_ico})
add_custom_target(windows_installer DEPENDS ${msi})
