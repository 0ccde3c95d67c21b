#!/bin/sh
# Builds the Debian package from build/, installs it on this machine (as root)
# and checks it from outside as a user would meet it; then removes it again.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }
# Polls for up to 60 s.
within() { i=0; until eval "$1"; do i=$((i + 1)); [ $i -lt 300 ] || return 1; sleep 0.2; done; }

rm -f "$root"/build/kavrel_*.deb
(cd "$root/build" && cpack -G DEB >/dev/null)
DEBIAN_FRONTEND=noninteractive apt-get install -y "$root"/build/kavrel_*.deb >/dev/null
[ "$(command -v kavrel)" = /usr/bin/kavrel ] || fail "kavrel is not /usr/bin/kavrel on PATH"

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home/home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=offscreen
unset DISPLAY
mkdir -p "$HOME/.obrenta/kavrel" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
printf '[General]\nlang=sk\n' >"$HOME/.obrenta/kavrel/config.ini"
[ "$(kavrel -h | head -n 1)" = "Použitie:" ] || fail "kavrel -h printed no usage"

# The main instance registers the scheme for this user with the real path.
entry="$XDG_DATA_HOME/applications/obrenta-kavrel.desktop"
kavrel -s 2>"$home/agent.log" &
agent=$!
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
    -keyout "$home/old.key" -out "$home/old.crt" 2>/dev/null
certutil -A -t C,, -n "Obrenta Kavrel CA 20200101000000" -i "$home/old.crt" -d "sql:$HOME/.pki/nssdb"
kavrel -u 2>>"$home/agent.log"
! certutil -L -d "sql:$HOME/.pki/nssdb" | grep -q "Obrenta Kavrel CA" || fail "-u left the agent's CA"
[ ! -e "$entry" ] && [ ! -e "$HOME/.obrenta/kavrel" ] || fail "-u left the registration or the configuration"

# Removal leaves nothing running.
printf '[General]\nlang=sk\n' | install -D /dev/stdin "$HOME/.obrenta/kavrel/config.ini"
kavrel -s 2>>"$home/agent.log" &
agent=$!
within '[ -f "$entry" ]' || fail "the main instance did not start again"
DEBIAN_FRONTEND=noninteractive apt-get remove -y kavrel >/dev/null
within '! kill -0 "$agent" 2>/dev/null' || fail "the main instance outlived the package"
for gone in /usr/bin/kavrel /usr/lib/kavrel /usr/share/applications/kavrel.desktop \
    /usr/share/icons/hicolor/48x48/apps/obrenta-kavrel.png; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is still there after removal"
done
echo "package: installed, registered, unregistered and removed"
