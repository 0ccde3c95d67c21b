#!/bin/sh
# Builds the Debian package from build/, checks it as Debian would (lintian,
# hardening-check, the manual page, the AppStream metadata), installs it on
# this machine (as root) and uses it as a user would; then upgrades it under
# running instances and removes it again.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }
# Polls for up to 60 s.
within() { i=0; until eval "$1"; do i=$((i + 1)); [ $i -lt 300 ] || return 1; sleep 0.2; done; }
# True while the process runs (a zombie has no executable any more).
running() { readlink "/proc/$1/exe" >/dev/null 2>&1; }

work=$(mktemp -d)
# A failed run leaves neither its instances nor the package behind.
started_all=""
cleanup() {
    for pid in $started_all; do
        if running "$pid"; then kill -TERM "$pid" 2>/dev/null || true; fi
    done
    if dpkg-query -W -f='${Status}' kavrel 2>/dev/null | grep -q 'ok installed'; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y kavrel >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

rm -f "$root"/build/kavrel_*.deb
(cd "$root/build" && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/kavrel_*.deb)
version=$(dpkg-deb -f "$deb" Version)

# Debian's package checker, informational tags included in the log.
status=0
lintian -I "$deb" >"$work/lintian.txt" 2>/dev/null || status=$?
errors=$(grep -c '^E: ' "$work/lintian.txt" || true)
warnings=$(grep -c '^W: ' "$work/lintian.txt" || true)
infos=$(grep -c '^I: ' "$work/lintian.txt" || true)
echo "package: lintian: $errors errors, $warnings warnings, $infos informational tags"
[ "$status" -eq 0 ] && [ "$errors" -eq 0 ] && [ "$warnings" -eq 0 ] || { cat "$work/lintian.txt" >&2; fail "lintian"; }
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[ "$maintainer" = '"Obrenta, a.s." <kavrel@obrenta.sk>' ] || fail "Maintainer is $maintainer"

DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null
[ "$(command -v kavrel)" = /usr/bin/kavrel ] || fail "kavrel is not /usr/bin/kavrel on PATH"
exe=/usr/lib/kavrel/kavrel

# Debian's hardening check on the installed executable. Three of its
# heuristics cannot see what this toolchain does, so each of those answers is
# accepted only where the evidence it misses is there instead.
hardening-check -v "$exe" >"$work/hardening.txt" 2>&1 || true
cat "$work/hardening.txt"
line() { sed -n "s/^ $1: //p" "$work/hardening.txt"; }
for check in "Position Independent Executable" "Stack protected" "Read-only relocations" "Immediate binding"; do
    [ "$(line "$check")" = yes ] || fail "hardening-check: $check: $(line "$check")"
done
# Fortified calls: the program's own calls have lengths the compiler proved
# within their buffers and the copies in Qt's inline code go to memory of a
# size it cannot know, so no checked call is left to see; then the build must
# have asked for fortification with optimisation.
answer=$(line "Fortify Source functions")
case "$answer" in
yes*) ;;
"no, only unprotected functions found!")
    for target in kavrel kavrelcore kavrelresources; do
        flags="$root/build/CMakeFiles/$target.dir/flags.make"
        grep -q '^CXX_DEFINES = .*-D_FORTIFY_SOURCE=2' "$flags" && grep -q '^CXX_FLAGS = .*-O2' "$flags" ||
            fail "hardening-check: fortify: $target was built without -D_FORTIFY_SOURCE=2 -O2"
    done ;;
*) fail "hardening-check: fortify: $answer" ;;
esac
# Stack clash: hardening-check knows only the probe loop of variable-sized
# allocations, which the program has none of; fixed frames larger than a page
# show their own probes.
answer=$(line "Stack clash protection")
case "$answer" in
yes) ;;
"unknown, no -fstack-clash-protection instructions found")
    objdump -d --no-show-raw-insn -M intel "$exe" | grep -A1 'sub *rsp,0x1000$' | grep -q 'or *QWORD PTR \[rsp\],0x0' ||
        fail "hardening-check: no stack probes in $exe" ;;
*) fail "hardening-check: stack clash: $answer" ;;
esac
# Control flow: the linker keeps the CET marker only when every input has it;
# Debian 12's C start files (libc6-dev) lack it, so then every object the
# build compiled for the executable must carry it.
answer=$(line "Control flow integrity")
if [ "$answer" != yes ]; then
    readelf -n "$(gcc -print-file-name=Scrt1.o)" | grep -q 'x86 feature: IBT, SHSTK' &&
        fail "hardening-check: control flow: $answer, although the C start files are marked"
    objects=$(find "$root/build/CMakeFiles/kavrel.dir" "$root/build/CMakeFiles/kavrelcore.dir" \
        "$root/build/CMakeFiles/kavrelresources.dir" -name '*.o')
    [ -n "$objects" ] || fail "hardening-check: no objects of the build to look at"
    for object in $objects; do
        readelf -n "$object" | grep -q 'x86 feature: IBT, SHSTK' || fail "hardening-check: $object lacks the CET marker"
    done
fi
echo "package: hardening-check: $(grep -c ': yes' "$work/hardening.txt") of 7 checks say yes"

# The manual page: found by man, rendered without a complaint from groff, and
# saying what it must.
[ "$(man -w kavrel)" = /usr/share/man/man1/kavrel.1.gz ] || fail "man finds $(man -w kavrel)"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z /usr/share/man/man1/kavrel.1.gz \
    2>"$work/groff.txt" >/dev/null
[ ! -s "$work/groff.txt" ] || { cat "$work/groff.txt" >&2; fail "groff warns about the manual page"; }
MANWIDTH=80 MANPAGER=cat man kavrel 2>/dev/null | col -b >"$work/man.txt"
grep -Eq '^ *kavrel +- desktop agent' "$work/man.txt" || fail "the manual page has no NAME line"
whatis kavrel | grep -Eq '^kavrel \(1\) +- desktop agent' || fail "whatis does not know kavrel(1)"
for heading in SYNOPSIS DESCRIPTION OPTIONS "LAUNCH URL" FILES "CERTIFICATE AUTHORITY" "EXIT STATUS"; do
    grep -qx "$heading" "$work/man.txt" || fail "the manual page has no section $heading"
done
for option in -h -i -u -s -l -q; do
    grep -Eq "^ +$option +[A-Z]" "$work/man.txt" || fail "the manual page does not describe $option"
done
for text in 'obrenta-kavrel:?hostnames=' '~/.obrenta/kavrel/config.ini' '~/.obrenta/kavrel/certificates/ca.crt' \
    '~/.pki/nssdb' '/usr/lib/kavrel/certutil/certutil'; do
    grep -qF "$text" "$work/man.txt" || fail "the manual page does not mention $text"
done
for status in 0 1 255; do
    grep -Eq "^ +$status +" "$work/man.txt" || fail "the manual page does not explain exit status $status"
done
echo "package: man kavrel: $(wc -l <"$work/man.txt") lines"

# Software-centre metadata: valid, and naming what the package installs.
metainfo=/usr/share/metainfo/sk.obrenta.kavrel.metainfo.xml
appstreamcli validate --no-net "$metainfo" >"$work/appstream.txt" 2>&1 || { cat "$work/appstream.txt" >&2; fail "appstream"; }
! grep -Eq '^(E|W): ' "$work/appstream.txt" || { cat "$work/appstream.txt" >&2; fail "appstream warns"; }
echo "package: appstreamcli validate: $(tail -n 1 "$work/appstream.txt")"
desktop=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ -f "/usr/share/applications/$desktop" ] || fail "the metadata launches $desktop, which is not installed"
icon=$(sed -n 's|.*<icon type="stock">\(.*\)</icon>.*|\1|p' "$metainfo")
[ -f "/usr/share/icons/hicolor/128x128/apps/$icon.png" ] || fail "the metadata's icon $icon is not installed"
grep -q '<mediatype>x-scheme-handler/obrenta-kavrel</mediatype>' "$metainfo" || fail "the metadata lacks the URL scheme"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metadata lists no release $version"
# What a software centre sees: the component in the system's catalogue, found
# by the URL scheme it handles, in English and in Slovak.
appstreamcli refresh-cache --force >/dev/null
appstreamcli what-provides mediatype x-scheme-handler/obrenta-kavrel >"$work/provides.txt" 2>&1
grep -qx 'Identifier: sk.obrenta.kavrel \[desktop-application\]' "$work/provides.txt" ||
    { cat "$work/provides.txt" >&2; fail "the catalogue names no handler of obrenta-kavrel:"; }
grep -qx 'Summary: Lets web pages start applications on this computer' "$work/provides.txt" || fail "no English summary"
LANGUAGE=sk LANG=C.UTF-8 appstreamcli get sk.obrenta.kavrel | grep -q ': Umožňuje webovým stránkam spúšťať aplikácie' ||
    fail "no Slovak summary in the catalogue"
for lang in sk; do
    for tag in name summary p; do
        grep -q "<$tag xml:lang=\"$lang\">" "$metainfo" || fail "the metadata has no $lang $tag"
    done
done

# Copyright: the maker's terms are those of LICENSE; certutil's are Debian's.
copyright=/usr/share/doc/kavrel/copyright
awk 'BEGIN { RS = ""; FS = "\n" } $1 == "License: Obrenta-proprietary" && NF > 1 {
    for (i = 2; i <= NF; i++) { text = substr($i, 2); if (text == ".") text = ""; print text } }' \
    "$copyright" >"$work/terms.txt"
cmp -s "$work/terms.txt" "$root/LICENSE" || fail "the copyright file's terms differ from LICENSE"
nss=/usr/share/doc/libnss3-tools/copyright
if [ -f "$nss" ]; then
    awk 'BEGIN { RS = "" } /^Files: \*\n/ { print; exit }' "$nss" | grep -v '^Files:' >"$work/nss.txt"
    [ -s "$work/nss.txt" ] || fail "no paragraph for all files in $nss"
    while IFS= read -r text; do
        grep -qxF -- "$text" "$copyright" || fail "the copyright file lacks certutil's \"$text\""
    done <"$work/nss.txt"
fi
# The administrator's policy comes only as the documented example.
cmp -s /usr/share/doc/kavrel/examples/policy.ini "$root/packaging/policy.ini.example" || fail "no example policy"
! dpkg -L kavrel | grep -q '^/etc/' || fail "the package installs files under /etc"
zcat /usr/share/doc/kavrel/changelog.gz >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] || fail "the changelog's last entry is not $version"

home="$work/root"
export HOME="$home/home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=offscreen
unset DISPLAY
mkdir -p "$HOME/.obrenta/kavrel" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
printf '[General]\nlang=sk\n' >"$HOME/.obrenta/kavrel/config.ini"
[ "$(kavrel -h | head -n 1)" = "Použitie:" ] || fail "kavrel -h printed no usage"

# The main instance registers the scheme for this user with the real path.
entry="$XDG_DATA_HOME/applications/obrenta-kavrel.desktop"
kavrel -s 2>"$work/agent.log" &
agent=$!
started_all=$agent
within '[ -f "$entry" ]' || fail "no desktop entry was registered"
grep -qx 'Exec=/usr/lib/kavrel/kavrel %U' "$entry" || fail "the entry names $(grep ^Exec= "$entry")"
[ "$(xdg-mime query default x-scheme-handler/obrenta-kavrel)" = obrenta-kavrel.desktop ] || fail "no scheme handler"
kill -TERM "$agent"
status=0
wait "$agent" || status=$?
[ "$status" -eq 0 ] || fail "the main instance ended with $status"

# -u through the link runs the certutil beside the real executable.
mkdir -p "$HOME/.pki/nssdb"
certutil -N --empty-password -d "sql:$HOME/.pki/nssdb"
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Obrenta Kavrel CA 20200101000000" -days 1 \
    -keyout "$work/old.key" -out "$work/old.crt" 2>/dev/null
certutil -A -t C,, -n "Obrenta Kavrel CA 20200101000000" -i "$work/old.crt" -d "sql:$HOME/.pki/nssdb"
kavrel -u 2>>"$work/agent.log"
! certutil -L -d "sql:$HOME/.pki/nssdb" | grep -q "Obrenta Kavrel CA" || fail "-u left the agent's CA"
[ ! -e "$entry" ] && [ ! -e "$HOME/.obrenta/kavrel" ] || fail "-u left the registration or the configuration"

# Three main instances: the package's for this user and for another account,
# and a copy of the program run from the build directory for a third home.
prepare() { # HOME-BASE: a home and XDG directories with the language chosen
    mkdir -p "$1/home/.obrenta/kavrel" "$1/data" "$1/config"
    printf '[General]\nlang=sk\n' >"$1/home/.obrenta/kavrel/config.ini"
}
start() { # HOME-BASE COMMAND...: starts a main instance; its process id in $started
    h=$1
    shift
    HOME="$h/home" XDG_DATA_HOME="$h/data" XDG_CONFIG_HOME="$h/config" "$@" -s >/dev/null 2>>"$work/agent.log" &
    started=$!
    started_all="$started_all $started"
}
registered() { [ -f "$1/data/applications/obrenta-kavrel.desktop" ]; }
prepare "$home"
start "$home" kavrel
agent=$started
prepare "$work/nobody"
chown -R 65534:65534 "$work/nobody"
start "$work/nobody" setpriv --reuid=65534 --regid=65534 --clear-groups kavrel
other=$started
prepare "$work/developer"
start "$work/developer" "$root/build/kavrel"
copy=$started
within 'registered "$home" && registered "$work/nobody" && registered "$work/developer"' ||
    fail "the three main instances did not all start"
[ "$(stat -c %u "/proc/$other")" = 65534 ] || fail "the other account's instance does not run as 65534"
[ "$(readlink "/proc/$copy/exe")" = "$root/build/kavrel" ] || fail "the copy runs $(readlink "/proc/$copy/exe")"

# An upgrade (here: the same package again) ends none of them; the instances
# keep the executable they started with.
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >/dev/null
for pid in $agent $other $copy; do
    running "$pid" || fail "process $pid did not survive the upgrade"
done
[ "$(readlink "/proc/$agent/exe")" = "$exe (deleted)" ] || fail "the instance runs $(readlink "/proc/$agent/exe")"
# One more of the package's, started after the upgrade, runs the new file.
prepare "$work/later"
start "$work/later" kavrel
later=$started
within 'registered "$work/later"' || fail "the instance started after the upgrade did not start"
[ "$(readlink "/proc/$later/exe")" = "$exe" ] || fail "the later instance runs $(readlink "/proc/$later/exe")"

# Removal ends the package's own instances, of every account and of either
# file, as their quit entry would; the copy runs on.
DEBIAN_FRONTEND=noninteractive apt-get remove -y kavrel >/dev/null
within '! running "$agent" && ! running "$other" && ! running "$later"' || fail "a packaged instance outlived the package"
for pid in $agent $other $later; do
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || fail "the packaged instance $pid ended with $status"
done
running "$copy" || fail "the removal ended the copy from the build directory"
kill -TERM "$copy"
status=0
wait "$copy" || status=$?
[ "$status" -eq 0 ] || fail "the copy ended with $status"
for gone in /usr/bin/kavrel /usr/lib/kavrel /usr/share/applications/kavrel.desktop \
    /usr/share/icons/hicolor/48x48/apps/obrenta-kavrel.png /usr/share/man/man1/kavrel.1.gz "$metainfo"; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is still there after removal"
done
appstreamcli refresh-cache --force >/dev/null
! appstreamcli what-provides mediatype x-scheme-handler/obrenta-kavrel 2>&1 | grep -q sk.obrenta.kavrel ||
    fail "the catalogue still lists the component after removal"
echo "package: installed, checked, registered, unregistered, upgraded under 3 instances and removed:" \
    "3 packaged instances ended (2 accounts, old and new file), the copy from the build directory ran on"
