#!/usr/bin/env bash
# Lays every picture of the document root out at its real size on one sheet,
# for reviewing the artwork at a glance. Each picture is embedded as a data
# URI, so the sheet references nothing outside itself.
#   resources/contact-sheet.sh [DOCROOT] [OUT.png]
# DOCROOT is a build's assembled document root (build/Release/resources/docroot).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
docroot=${1:-$top/build/Release/resources/docroot}
out=${2:-$top/docs/pictures.png}

# The size a picture is shown at: a PNG's pixels (from its header), an SVG's
# width and height.
size() {
  case $1 in
    *.png) od -An -tu1 -j16 -N8 "$1" | { read -r a b c d e f g h; echo $((a << 24 | b << 16 | c << 8 | d)) $((e << 24 | f << 16 | g << 8 | h)); } ;;
    *.svg) tr '\n' ' ' <"$1" | sed -E 's/^[^<]*<svg[^>]* width="([0-9]+)"[^>]* height="([0-9]+)".*/\1 \2/' ;;
  esac
}

y=0
body=
# strip TITLE FILE...: one row of pictures, each with its name below.
strip() {
  local title=$1 x=16 tallest=0 f w h
  shift
  body+="<text x=\"16\" y=\"$((y + 26))\" class=\"title\">$title</text>"
  y=$((y + 40))
  for f in "$@"; do
    read -r w h <<<"$(size "$docroot/$f")"
    ((h > tallest)) && tallest=$h
  done
  for f in "$@"; do
    local type=png
    [[ $f == *.svg ]] && type=svg+xml
    body+="<image x=\"$x\" y=\"$y\" href=\"data:image/$type;base64,$(base64 -w0 "$docroot/$f")\"/>"
    body+="<text x=\"$x\" y=\"$((y + tallest + 14))\" class=\"name\">${f##*/}</text>"
    x=$((x + 136))
  done
  y=$((y + tallest + 22))
}

strip "Dashboard server column: images/*.png" \
  images/serveron.png images/serveron_selected.png images/serveroff.png \
  images/serveroff_selected.png images/servererror.png images/servererror_selected.png
strip "Dashboard detail panel, inlined into the page: images/*.svg" \
  images/serveron.svg images/serveroff.svg images/server-no-connection.svg \
  images/server-unknown.svg images/server-error.svg images/drive-harddisk.svg
strip "Servers grid power column: icons/*.png" \
  icons/poweron.png icons/poweroff.png icons/error.png icons/unknown.png
strip "Favicon: images/favicon.svg and .png" images/favicon.svg images/favicon.png
strip "Headline: images/headline.png" images/headline.png

sheet=$(mktemp --suffix .svg)
trap 'rm -f "$sheet"' EXIT
cat >"$sheet" <<SVG
<svg xmlns="http://www.w3.org/2000/svg" width="848" height="$((y + 8))" viewBox="0 0 848 $((y + 8))">
  <style>
    .title { font: bold 13px 'DejaVu Sans', sans-serif; fill: #1d2733; }
    .name { font: 9px 'DejaVu Sans', sans-serif; fill: #4a5563; }
  </style>
  <rect width="100%" height="100%" fill="#ffffff"/>
  $body
</svg>
SVG
rsvg-convert -o "$out" "$sheet"
echo "contact sheet: $out"
