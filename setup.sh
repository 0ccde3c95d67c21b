#!/bin/sh
# Installs every Debian package that the build and the agent need; with
# --tests also what only the test suite uses (real browsers among them).
# Debian 12 and 13 alike: where the versions differ (Java, clang's runtime),
# the release's default packages name its own.
set -e
PACKAGES="cmake g++ make pkg-config dpkg-dev file qtbase5-dev libqt5websockets5-dev qttools5-dev-tools \
qttranslations5-l10n libssl-dev libnss3-tools openssl xvfb xdotool x11-utils imagemagick \
xdg-utils desktop-file-utils trayer"
if [ "$1" = "--tests" ]; then
    PACKAGES="$PACKAGES libglib2.0-bin chromium firefox-esr icedtea-netx default-jdk-headless \
clang clang-format libclang-rt-dev lintian devscripts appstream man-db nodejs faketime"
fi
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
