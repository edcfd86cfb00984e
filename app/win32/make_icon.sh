#!/bin/sh
# Makes the window's icon resource from the Qt window's image, so both windows show one icon:
# a 16 x 16 palette icon with a transparency mask. Needs imagemagick (convert).
# Usage: app/win32/make_icon.sh   (rewrites app/win32/kivo_icon.ico)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
convert "$here/../qt/icons/kivo_icon.xpm" -type Palette "$here/kivo_icon.ico"
