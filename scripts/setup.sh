#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run.
# As root it installs what is missing; otherwise it prints the command and stops.
# With --screenshots it also installs what the screenshot helper needs, with --bench the
# references the benchmarks run beside ours, with --windows the MinGW-w64 cross compiler, the
# GoogleTest sources it builds for Windows, Wine, which runs those tests and the programs on a
# virtual display, and wixl for the installer (scripts/windows-deps.sh builds the libraries).
set -euo pipefail

packages=(
    cmake ninja-build g++ make pkg-config   # build
    qt6-base-dev                            # windows, tray, settings store, sockets
    libcurl4-openssl-dev                    # HTTP, HTTPS and FTP transfers
    libssl-dev                              # Ed25519 signatures of our releases
    libgtest-dev                            # tests
    python3 python3-pyftpdlib               # the FTP server the tests talk to
    python3-openssl                         # pyftpdlib's FTP over TLS (the TLS test server)
    vsftpd                                  # the office FTP server the tests start themselves
                                            # (its system service is kept off, see below)
    rsync                                   # the reference in the backup scan benchmark
    binutils-mingw-w64-x86-64               # real PE files with version resources for tests
    python3-pefile                          # an independent reader of those PE versions
    openssl                                 # certificates of the HTTPS test server
    fonts-dejavu-core                       # without a font, Qt draws text as empty boxes
    dpkg-dev                                # dpkg-shlibdeps: the package's library dependencies
    librsvg2-bin                            # rsvg-convert: PNG sizes of the scalable program icon
)
if [[ "${1:-}" == "--screenshots" ]]; then
    packages+=(
        xvfb xauth imagemagick                  # a virtual display and pictures of it
        xdotool                                 # key presses and clicks on that display
        trayer                                  # a tray host there, for the tray icons
        openbox                                 # a window manager: frames, focus, stacking
    )
fi
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(supervisor curl)                 # supervisord and curl -T
fi
if [[ "${1:-}" == "--windows" ]]; then
    packages+=(
        g++-mingw-w64-x86-64-posix              # the cross compiler, std::thread's thread model
        gcc-mingw-w64-x86-64-posix              # its C half (libcurl, OpenSSL)
        qt6-base-dev-tools                      # moc, rcc, uic: the Windows Qt's build tools
        googletest                              # GoogleTest's sources, built for Windows
        wine64                                  # runs the Windows tests and programs
        xvfb xauth                              # the virtual display the programs run on
        wixl msitools                           # the Windows installer, made and read
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get update && $cmd" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive

# A newly installed vsftpd would start its system service on port 21. The tests start their
# own, so for the install no service may start (a policy-rc.d of ours, unless the system has
# one), and afterwards the service is disabled and, should it run all the same, stopped.
fresh_vsftpd=false
[[ " ${missing[*]} " == *" vsftpd "* ]] && fresh_vsftpd=true
policy=/usr/sbin/policy-rc.d
if $fresh_vsftpd && [[ ! -e $policy ]]; then
    trap 'rm -f "$policy"' EXIT
    printf '#!/bin/sh\n# Written by the setup script for its install: no service starts.\nexit 101\n' \
        >"$policy"
    chmod 755 "$policy"
fi

apt-get update -qq
$cmd

if $fresh_vsftpd; then
    if [[ -d /run/systemd/system ]]; then
        systemctl disable --now vsftpd.service
    else
        update-rc.d vsftpd disable >/dev/null
        if service vsftpd status >/dev/null 2>&1; then
            service vsftpd stop
        fi
    fi
    echo "vsftpd's system service is disabled: the tests start vsftpd themselves"
fi
