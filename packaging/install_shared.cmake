# Runs at install time, after the programs are in place. Writes the menu entry, the icons, the
# man pages and the user unit where the desktop and systemd look for them:
# - a machine-wide installation (a folder outside the installing user's home, or a package being
#   staged through DESTDIR): below /usr/share, the unit in /usr/lib/systemd/user;
# - a user's own installation (a folder below $HOME): below $XDG_DATA_HOME (~/.local/share), the
#   unit in its systemd/user folder, so nothing outside the user's home is touched.

set(kestrun_dir "${CMAKE_INSTALL_PREFIX}")
set(home "$ENV{HOME}")
set(user_install FALSE)
if("$ENV{DESTDIR}" STREQUAL "" AND NOT home STREQUAL "" AND NOT home STREQUAL "/")
    cmake_path(IS_PREFIX home "${kestrun_dir}" NORMALIZE user_install)
endif()

if(user_install)
    set(share "$ENV{XDG_DATA_HOME}")
    if(share STREQUAL "")
        set(share "${home}/.local/share")
    endif()
    set(units "${share}/systemd/user")
else()
    set(share /usr/share)
    set(units /usr/lib/systemd/user)
endif()

# The entry and the unit name the folder; each installation target gets its own copies, so two
# installs from one build tree (a package and a user's folder) never mix them up.
set(KESTRUN_DIR "${kestrun_dir}")
string(MD5 key "$ENV{DESTDIR}|${kestrun_dir}")
set(staged "${KESTRUN_PACKAGING_BINARY}/staged/${key}")
foreach(name kestrun.desktop kestrun.service)
    file(READ "${KESTRUN_PACKAGING_SOURCE}/${name}.in" text)
    string(CONFIGURE "${text}" text @ONLY)
    file(WRITE "${staged}/${name}" "${text}")
endforeach()

file(INSTALL DESTINATION "${share}/applications" TYPE FILE
     FILES "${staged}/kestrun.desktop")
file(INSTALL DESTINATION "${units}" TYPE FILE
     FILES "${staged}/kestrun.service")
file(INSTALL DESTINATION "${share}/icons/hicolor/scalable/apps" TYPE FILE
     FILES "${KESTRUN_PACKAGING_SOURCE}/kestrun.svg")
if(EXISTS "${KESTRUN_PACKAGING_BINARY}/icons/hicolor")
    file(INSTALL DESTINATION "${share}/icons" TYPE DIRECTORY
         FILES "${KESTRUN_PACKAGING_BINARY}/icons/hicolor")
endif()
file(INSTALL DESTINATION "${share}/man/man1" TYPE FILE
     FILES "${KESTRUN_PACKAGING_SOURCE}/man/kestrun.1" "${KESTRUN_PACKAGING_SOURCE}/man/kbm.1"
           "${KESTRUN_PACKAGING_SOURCE}/man/kvu.1")
