# Installation and the Debian package.
#
# An installation is one folder holding kestrun, kbm and kvu: the working folder, where the lists,
# logs and downloads live. By default it is /opt/kestrun (`cmake --install build`); a single user
# installs into a folder of their own with `cmake --install build --prefix ~/kestrun`.
# The menu entry, the icons, the man pages and the user unit kestrun.service name that folder, so
# they are written at install time, once the prefix is known (packaging/install_shared.cmake).

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /opt/kestrun CACHE PATH "The installation folder" FORCE)
endif()
set(KESTRUN_PACKAGE_DIR /opt/kestrun)

install(TARGETS kestrun kbm kvu RUNTIME DESTINATION .)

# PNG sizes of the scalable icon, for menus and docks that want bitmaps. Without a converter
# only the scalable icon is installed, which every current desktop reads.
set(kestrun_icon_svg ${PROJECT_SOURCE_DIR}/packaging/kestrun.svg)
set(kestrun_icon_dir ${CMAKE_BINARY_DIR}/packaging/icons/hicolor)
find_program(KESTRUN_RSVG_CONVERT rsvg-convert)
set(kestrun_icon_pngs)
if(KESTRUN_RSVG_CONVERT)
    foreach(size 16 22 24 32 48 64 128 256)
        set(png ${kestrun_icon_dir}/${size}x${size}/apps/kestrun.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${kestrun_icon_dir}/${size}x${size}/apps
            COMMAND ${KESTRUN_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${kestrun_icon_svg}
            DEPENDS ${kestrun_icon_svg}
            VERBATIM)
        list(APPEND kestrun_icon_pngs ${png})
    endforeach()
else()
    message(STATUS "rsvg-convert not found: only the scalable program icon is installed")
endif()
add_custom_target(kestrun_icons ALL DEPENDS ${kestrun_icon_pngs})

install(CODE "
    set(KESTRUN_PACKAGING_SOURCE \"${PROJECT_SOURCE_DIR}/packaging\")
    set(KESTRUN_PACKAGING_BINARY \"${CMAKE_BINARY_DIR}/packaging\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/packaging/install_shared.cmake)

# The package's maintainer scripts name the package's folder.
set(KESTRUN_DIR ${KESTRUN_PACKAGE_DIR})
foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in
                   ${CMAKE_BINARY_DIR}/packaging/debian/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VERSION ${KESTRUN_VERSION})
set(CPACK_PACKAGE_VENDOR Tavisoft)
set(CPACK_PACKAGE_CONTACT "Tavisoft <kestrun@tavisoft.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "keeps an office's programs running, backed up and up to date")
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrun supervises a list of programs, starts the backup program kbm every few hours and is\n\
the LAN update engine of the Zelmo client. It runs as a tray program or, headless, as the user\n\
service kestrun.service. The installation folder /opt/kestrun is the working folder; members of\n\
the group kestrun may write it.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${KESTRUN_PACKAGE_DIR})
# The rules that write below /usr need the staging folder through DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${KESTRUN_PACKAGE_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# groupadd comes from passwd, which every Debian system has; without a font Qt draws no text.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/debian/postinst ${CMAKE_BINARY_DIR}/packaging/debian/prerm
    ${CMAKE_BINARY_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

add_subdirectory(${PROJECT_SOURCE_DIR}/tests/packaging ${CMAKE_BINARY_DIR}/tests/packaging)
