#!/bin/sh
# Regenerates every picture under resources/ from drawing commands, so the committed
# files can be rebuilt and changed here rather than by hand.
#
# Needs ImageMagick 6 (convert), python3 and the URW base35 and DejaVu fonts
# (Debian: imagemagick python3 fonts-urw-base35 fonts-dejavu-core).
# usage: tools/make-pictures.sh
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/resources"
# The About picture shows the version the project declares.
version=$(sed -n 's/^project(Varnok VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The main window's colours: dark red bar, navy block, and a pale gold for fine lines.
RED='#c00000'
NAVY='#000080'
GOLD='#d9b45a'

# Same bytes on every run: no timestamps or other ancillary chunks.
PNG_OUT="-strip -define png:exclude-chunks=date,time"

# --- The mark: a navy shield with a red rim and a white padlock, drawn at 1024 px -------

SHIELD="path 'M 112,96 L 912,96 L 912,470 C 912,720 730,880 512,980 C 294,880 112,720 112,470 Z'"
FIELD="path 'M 156,140 L 868,140 L 868,470 C 868,696 706,840 512,930 C 318,840 156,696 156,470 Z'"
INLAY="path 'M 178,162 L 846,162 L 846,470 C 846,684 690,820 512,904 C 334,820 178,684 178,470 Z'"

# $1: output; $2: "detailed" (gradient field and gold inlay) or "plain" (for tiny icons).
draw_mark() {
    if [ "$2" = detailed ]; then
        convert -size 1024x1024 -define gradient:angle=160 gradient:'#2b3aa6-#000066' "$work/field.png"
    else
        convert -size 1024x1024 "xc:$NAVY" "$work/field.png"
    fi
    convert -size 1024x1024 xc:black -fill white -draw "$FIELD" "$work/field-mask.png"
    convert "$work/field.png" "$work/field-mask.png" -alpha off \
        -compose CopyOpacity -composite "$work/field.png"

    # The shackle: the upper half of a ring standing on two short legs.
    convert -size 1024x1024 xc:black -fill white -draw 'circle 512,380 512,228' \
        -fill black -draw 'circle 512,380 512,292' -draw 'rectangle 0,380 1023,1023' \
        -fill white -draw 'rectangle 360,380 424,470' -draw 'rectangle 600,380 664,470' \
        "$work/shackle-mask.png"
    convert -size 1024x1024 xc:white "$work/shackle-mask.png" -alpha off \
        -compose CopyOpacity -composite \
        -fill white -draw 'roundrectangle 316,452 708,760 44,44' \
        -fill "$RED" -draw 'circle 512,570 512,618' \
        -draw "path 'M 488,600 L 536,600 L 556,690 L 468,690 Z'" "$work/lock.png"

    convert -size 1024x1024 xc:none -fill "$RED" -draw "$SHIELD" \
        "$work/field.png" -compose over -composite "$work/mark-base.png"
    if [ "$2" = detailed ]; then
        convert "$work/mark-base.png" -fill none -stroke "$GOLD" -strokewidth 10 \
            -draw "$INLAY" "$work/mark-base.png"
    fi
    convert "$work/mark-base.png" "$work/lock.png" -compose over -composite \
        -trim +repage "$1"
}

# --- Window icon: 32 and 16 px, 16 colours each, transparent outside the shield --------

# $1: mark; $2: size; $3: output raw RGBA. Transparency becomes all-or-nothing, and the
# opaque pixels are reduced to 15 colours, leaving the 16th palette entry for black.
icon_image() {
    inner=$(($2 - 2))
    convert "$1" -resize "${inner}x${inner}" -gravity center -background none \
        -extent "$2x$2" "$work/icon.png"
    convert "$work/icon.png" -alpha extract -threshold 50% "$work/icon-mask.png"
    convert "$work/icon.png" -background "$NAVY" -flatten +dither -colors 15 \
        "$work/icon-mask.png" -alpha off -compose CopyOpacity -composite \
        -depth 8 "rgba:$3"
}

# At 16 px a scaled drawing blurs the padlock, so that size is drawn pixel by pixel.
write_icon16() {
    cat >"$1" <<'XPM'
/* XPM */
static char *icon16[] = {
"16 16 4 1",
". c None",
"r c #C00000",
"n c #000080",
"w c #FFFFFF",
"................",
".rrrrrrrrrrrrrr.",
".rnnnnnnnnnnnnr.",
".rnnnnwwwwnnnnr.",
".rnnnwwnnwwnnnr.",
".rnnnwnnnnwnnnr.",
".rnnwwwwwwwwnnr.",
".rnnwwwwwwwwnnr.",
".rnnwwwrrwwwnnr.",
".rnnwwwrrwwwnnr.",
".rnnwwwrrwwwnnr.",
".rnnwwwwwwwwnnr.",
"..rnnnnnnnnnnr..",
"...rnnnnnnnnr...",
"....rrnnnnrr....",
"......rrrr......"
};
XPM
}

make_icons() {
    draw_mark "$work/mark-plain.png" plain
    draw_mark "$work/mark.png" detailed
    write_icon16 "$work/icon16.xpm"
    icon_image "$work/mark-plain.png" 32 "$work/icon32.rgba"
    convert "$work/icon16.xpm" -depth 8 "rgba:$work/icon16.rgba"
    python3 "$root/tools/write-ico.py" "$out/varnok.ico" \
        "32:$work/icon32.rgba" "16:$work/icon16.rgba"

    # Desktop icons in full colour; the gold inlay only pays off from 48 px up.
    for size in 16 24 32 48 64 128 256; do
        mark="$work/mark.png"
        [ "$size" -lt 48 ] && mark="$work/mark-plain.png"
        dir="$out/icons/hicolor/${size}x${size}/apps"
        mkdir -p "$dir"
        if [ "$size" -eq 16 ]; then
            convert "$work/icon16.xpm" $PNG_OUT "PNG32:$dir/varnok.png"
            continue
        fi
        inner=$((size - size / 16))
        convert "$mark" -resize "${inner}x${inner}" -gravity center -background none \
            -extent "${size}x${size}" $PNG_OUT "PNG32:$dir/varnok.png"
    done
}

# --- Emblem: GIF 160 x 160, 32 colours, shown stretched to 312 x 280 -------------------

# Drawn at twice the stretched size so that the squeeze to 160 x 160 and the window's
# stretch cancel out. The title labels overlap the stretched picture's top 9 and bottom
# 16 rows, so the shield keeps clear of them. Edges are smoothed against white, the
# colour of the panel behind, and only the outside is transparent.
make_emblem() {
    convert "$work/mark.png" -resize x472 "$work/emblem-mark.png"
    # A soft shadow below and to the right lifts the shield off the white panel.
    convert "$work/emblem-mark.png" -background '#1a1a40' -shadow 35x9+8+12 \
        "$work/emblem-shadow.png"
    convert -size 624x560 xc:none \
        "$work/emblem-shadow.png" -gravity north -geometry +0+24 -composite \
        "$work/emblem-mark.png" -gravity north -geometry +0+32 -composite \
        "$work/emblem-big.png"
    convert "$work/emblem-big.png" -resize '160x160!' "$work/emblem-small.png"
    convert "$work/emblem-small.png" -alpha extract -threshold 6% "$work/emblem-mask.png"
    convert "$work/emblem-small.png" -background white -flatten +dither -colors 31 \
        "$work/emblem-mask.png" -alpha off -compose CopyOpacity -composite \
        -strip "$out/emblem.gif"
}

# --- Right-hand background: JPEG 168 x 111, shown stretched to 464 x 575 ----------------

# Only slow changes survive the stretch: a warm white fading to a pale cool grey, and a
# soft shade at the left edge where it meets the white panel.
make_background() {
    convert -size 168x111 gradient:'#fbf9f3-#dfe4ee' "$work/bg.png"
    convert -size 111x4 gradient:'#ececec-#ffffff' -rotate -90 "$work/bg-edge.png"
    convert "$work/bg.png" "$work/bg-edge.png" -gravity west -compose multiply -composite \
        -strip -quality 95 -sampling-factor 1x1 "$out/background.jpg"
}

# --- About background: JPEG 400 x 300 ---------------------------------------------------

# Upper part: emblem, title, version, publisher. The credits band (8..392 x 174..290)
# stays a plain light panel, and the close button's corner (376, 8) stays empty.
make_about() {
    convert "$work/mark.png" -resize x118 "$work/about-mark.png"
    convert "$work/about-mark.png" -background '#1a1a40' -shadow 35x3+2+3 \
        "$work/about-shadow.png"
    convert -size 400x300 gradient:'#fbf9f3-#eef0f5' \
        -fill "$RED" -draw 'rectangle 0,0 399,5' \
        -fill "$NAVY" -draw 'rectangle 0,294 399,299' \
        "$work/about-shadow.png" -geometry +22+20 -composite \
        "$work/about-mark.png" -geometry +22+18 -composite \
        -font P052-Bold-Italic -pointsize 46 -fill "$NAVY" -annotate +138+62 'Varnok' \
        -font P052-Italic -pointsize 18 -fill "$RED" -annotate +140+88 'with RC4 Encryption' \
        -font DejaVu-Sans -pointsize 11 -fill '#303040' -annotate +141+110 "Version $version" \
        -fill "$GOLD" -draw 'rectangle 140,122 380,123' \
        -font P052-Bold -pointsize 13 -fill '#202030' -annotate +140+141 'Brindlemoor' \
        -font DejaVu-Sans -pointsize 9 -fill '#404050' \
        -annotate +140+156 '17 Weavers Yard, Hebden Bridge HX7 8AD, England' \
        -fill '#ffffff' -draw 'rectangle 8,174 391,289' \
        -fill none -stroke '#c8ccd8' -draw 'rectangle 7,173 392,290' \
        -strip -quality 95 -sampling-factor 1x1 "$out/about.jpg"
}

make_icons
make_emblem
make_background
make_about
echo "pictures written to $out"
