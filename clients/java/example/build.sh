#!/bin/sh
# Builds the example application with the JDK alone: compiles it with the
# Java kit, packs and signs the jar and writes its JNLP, into build/www.
#
#   ./build.sh CODEBASE [KEYSTORE ALIAS]
#
# CODEBASE is the address build/www will be served from (ending in "/");
# OUT, when set, is the directory to build in instead of build/.
# Without a keystore, a key made for this build signs the jar, and
# build/signer.crt is its certificate (for a test machine to trust; see
# docs/applications.md). STOREPASS holds the keystore's password.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
codebase=${1:?usage: build.sh CODEBASE [KEYSTORE ALIAS]}
out=${OUT:-$here/build}
keystore=${2:-$out/signer.p12}
alias=${3:-example}
storepass=${STOREPASS:-example-signer}

rm -rf "$out/classes" "$out/www"
mkdir -p "$out/classes" "$out/www"
javac --release 11 -Xlint:all -Werror -d "$out/classes" \
    "$here/ExampleApp.java" "$here/../com/obrenta/kavrel/KavrelSession.java"
jar cfm "$out/www/example.jar" "$here/manifest.txt" -C "$out/classes" .
if [ $# -lt 2 ] && [ ! -f "$keystore" ]; then
    keytool -genkeypair -alias "$alias" -keyalg RSA -keysize 2048 -dname "CN=Kavrel example" \
        -validity 365 -storetype PKCS12 -keystore "$keystore" -storepass "$storepass" -keypass "$storepass"
fi
jarsigner -keystore "$keystore" -storepass "$storepass" "$out/www/example.jar" "$alias"
keytool -exportcert -rfc -alias "$alias" -keystore "$keystore" -storepass "$storepass" -file "$out/signer.crt"
sed "s|@CODEBASE@|$codebase|" "$here/example.jnlp.in" > "$out/www/example.jnlp"
echo "built $out/www/example.jar and $out/www/example.jnlp for $codebase"
