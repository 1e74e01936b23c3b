#!/usr/bin/env bash
# Signs one program of a release as Kestrun and kvu check it: the signature "<program>.sig"
# beside it covers a short header that names the program and the version its file carries,
# followed by the program's bytes, so it is taken under no other name and with no other version.
#   scripts/sign-release.sh KEY PROGRAM [NAME [VERSION]]
# KEY is the private release key, NAME the program's name on the site (kestrun, kbm or kvu; by
# default PROGRAM's file name) and VERSION the one its version note holds (read from the file by
# default; give it for a program without our ELF note, a Windows build). By hand, for kbm 1.0.0.1:
#   { printf 'kestrun-release\nname %s\nversion %s\n' kbm 1.0.0.1; cat kbm; } >kbm.signed
#   openssl pkeyutl -sign -rawin -inkey release.pem -in kbm.signed -out kbm.sig
# (openssl signs a whole file at once: the message must be a file, not a pipe.)
set -euo pipefail
if (($# < 2 || $# > 4)); then
    echo "usage: $0 KEY PROGRAM [NAME [VERSION]]" >&2
    exit 2
fi
key=$1
program=$2
name=${3:-$(basename "$program")}
version=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ -z $version ]]; then
    # The note: name size, description size, type 1, the name "KSN" padded to 4 bytes, then
    # major, minor, build and revision, each a little-endian 32-bit number.
    objcopy -O binary -j .note.fileversion "$program" "$work/note" 2>/dev/null || true
    read -r -a note <<<"$(od -An -v -tu4 "$work/note" 2>/dev/null | tr "\n" " ")"
    if ((${#note[@]} < 8)) || [[ ${note[0]} != 4 || ${note[1]} != 16 || ${note[2]} != 1 ]]; then
        echo "$program carries no version note: give its version" >&2
        exit 1
    fi
    version="${note[4]}.${note[5]}.${note[6]}.${note[7]}"
fi
if [[ ! $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "not a version a.b.c.d: $version" >&2
    exit 2
fi

{ printf 'kestrun-release\nname %s\nversion %s\n' "$name" "$version"; cat "$program"; } \
    >"$work/signed"
openssl pkeyutl -sign -rawin -inkey "$key" -in "$work/signed" -out "$program.sig"
echo "signed $program as $name $version: $program.sig"
