# kestrun_add_windows_icon(<target>): the program icon, drawn from packaging/kestrun.svg in
# the sizes Windows shows, as the executable's first icon resource (what Explorer, the Start
# menu and the installer show).
find_program(KESTRUN_RSVG_CONVERT rsvg-convert)
find_package(Python3 COMPONENTS Interpreter)
set(kestrun_windows_ico ${CMAKE_BINARY_DIR}/windows-icon/kestrun.ico)
if(KESTRUN_RSVG_CONVERT AND Python3_Interpreter_FOUND)
    set(svg ${PROJECT_SOURCE_DIR}/packaging/kestrun.svg)
    set(pngs)
    foreach(size 16 24 32 48 256)
        set(png ${CMAKE_BINARY_DIR}/windows-icon/kestrun-${size}.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/windows-icon
            COMMAND ${KESTRUN_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
            DEPENDS ${svg})
        list(APPEND pngs ${png})
    endforeach()
    add_custom_command(OUTPUT ${kestrun_windows_ico}
        COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/png_to_ico.py
                ${kestrun_windows_ico} ${pngs}
        DEPENDS ${pngs} ${PROJECT_SOURCE_DIR}/cmake/png_to_ico.py)
    add_custom_target(kestrun_windows_icon DEPENDS ${kestrun_windows_ico})
    file(WRITE ${CMAKE_BINARY_DIR}/windows-icon/icon.rc
         "1 ICON \"${kestrun_windows_ico}\"\n")
else()
    message(STATUS "rsvg-convert or python3 not found: the Windows programs have no icon")
endif()

function(kestrun_add_windows_icon target)
    if(TARGET kestrun_windows_icon)
        target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/windows-icon/icon.rc)
        set_source_files_properties(${CMAKE_BINARY_DIR}/windows-icon/icon.rc PROPERTIES
            OBJECT_DEPENDS ${kestrun_windows_ico})
        add_dependencies(${target} kestrun_windows_icon)
    endif()
endfunction()
