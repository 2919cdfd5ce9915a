#!/bin/sh
# Signs Velmora releases for the updater (Ed25519, with OpenSSL).
#   scripts/sign-release.sh keygen KEY.pem
#       makes a signing key (keep it secret) and prints the public key to build the app
#       with: cmake -DVELMORA_UPDATE_KEY=... (or VQ_UPDATE_KEY in ~/.velmora.env)
#   scripts/sign-release.sh sign KEY.pem PACKAGE.deb VERSION BUILD [MIN-OS]
#       prints the feed item offering PACKAGE.deb, its signature and length
#   scripts/sign-release.sh publish KEY.pem FOLDER PACKAGE.deb VERSION BUILD [MIN-OS]
#       copies the package into FOLDER and adds its item to FOLDER/appcast.xml, the feed
#       velmora-server --updates FOLDER serves at /updates/appcast.xml
set -eu
die() { echo "sign-release: $*" >&2; exit 1; }
command -v openssl >/dev/null || die "needs openssl"

pubkey() { openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | base64 -w0; }

item() {  # KEY DEB VERSION BUILD MINOS
    key=$1 deb=$2 version=$3 build=$4 minos=${5:-}
    [ -f "$deb" ] || die "no package $deb"
    sig=$(openssl pkeyutl -sign -inkey "$key" -rawin -in "$deb" | base64 -w0)
    length=$(stat -c %s "$deb")
    # The signature must verify with the public key before anything is published.
    tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
    openssl pkey -in "$key" -pubout -out "$tmp/pub.pem"
    printf %s "$sig" | base64 -d > "$tmp/sig"
    openssl pkeyutl -verify -pubin -inkey "$tmp/pub.pem" -rawin -in "$deb" -sigfile "$tmp/sig" \
        >/dev/null || die "the signature does not verify"
    min=""
    [ -n "$minos" ] && min="<v:minimumSystemVersion>$minos</v:minimumSystemVersion>"
    name=$(basename "$deb")
    printf '    <item>\n      <title>%s</title>\n      <pubDate>%s</pubDate>\n' "$version" "$(date -R)"
    printf '      <v:version>%s</v:version>\n      <v:shortVersionString>%s</v:shortVersionString>\n' \
        "$build" "$version"
    [ -n "$min" ] && printf '      %s\n' "$min"
    printf '      <enclosure url="%s" length="%s" type="application/vnd.debian.binary-package"\n' \
        "$name" "$length"
    printf '                 v:edSignature="%s"/>\n    </item>\n' "$sig"
}

case ${1:-} in
keygen)
    [ $# -eq 2 ] || die "usage: keygen KEY.pem"
    [ -e "$2" ] && die "$2 exists; not overwritten"
    (umask 077; openssl genpkey -algorithm ed25519 -out "$2")
    echo "public key: $(pubkey "$2")"
    ;;
sign)
    [ $# -ge 5 ] || die "usage: sign KEY.pem PACKAGE.deb VERSION BUILD [MIN-OS]"
    item "$2" "$3" "$4" "$5" "${6:-}"
    ;;
publish)
    [ $# -ge 6 ] || die "usage: publish KEY.pem FOLDER PACKAGE.deb VERSION BUILD [MIN-OS]"
    key=$2 folder=$3 deb=$4
    mkdir -p "$folder"
    cp "$deb" "$folder/"
    entry=$(item "$key" "$folder/$(basename "$deb")" "$5" "$6" "${7:-}")
    feed=$folder/appcast.xml
    {
        printf '<?xml version="1.0" encoding="utf-8"?>\n'
        printf '<rss version="2.0" xmlns:v="https://velmora.app/xml/appcast">\n  <channel>\n'
        printf '    <title>Velmora</title>\n'
        printf '%s\n' "$entry"
        # Earlier items stay below the new one.
        if [ -f "$feed" ]; then
            sed -n '/<item>/,/<\/item>/p' "$feed"
        fi
        printf '  </channel>\n</rss>\n'
    } > "$feed.new"
    mv "$feed.new" "$feed"
    echo "published $(basename "$deb") as $5 ($6) in $feed"
    ;;
*)
    sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
