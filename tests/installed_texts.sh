#!/bin/sh
# What an install and the package say of themselves.
# Usage: installed_texts.sh BUILD SCRATCH CPACK_CONFIG PROGRAM...
#   - the manual pages installed with --prefix P (and again under DESTDIR)
#     name the guide where that install put it, P/share/doc/nivra;
#   - the Debian package's description names every PROGRAM it installs.
set -eu
build=$1
scratch=$2
cpack_config=$3
shift 3

fail() { echo "$*"; exit 1; }

# roff writes a "-" as "\-".
roff() { printf '%s' "$1" | sed 's/-/\\-/g'; }

# check_pages ROOT PREFIX: the pages under ROOT/PREFIX name PREFIX's guide.
check_pages() {
    guide="$2/share/doc/nivra/config-format.md"
    [ -f "$1$guide" ] || fail "the guide is not installed at $1$guide"
    for page in confcheck confedit; do
        file="$1$2/share/man/man1/$page.1"
        grep -qF "$(roff "$guide")" "$file" ||
            fail "$file names the guide as: $(grep -F 'config\-format.md' "$file")"
    done
}

rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" > "$scratch/install.log" ||
    { cat "$scratch/install.log"; fail "install"; }
check_pages "" "$scratch/prefix"
DESTDIR="$scratch/stage" cmake --install "$build" --prefix /opt/nivra-test \
    > "$scratch/install.log" || { cat "$scratch/install.log"; fail "install with DESTDIR"; }
check_pages "$scratch/stage" /opt/nivra-test

description=$(sed -n '/^set(CPACK_PACKAGE_DESCRIPTION /,/")$/p' "$cpack_config")
[ -n "$description" ] || fail "$cpack_config sets no package description"
for program in "$@"; do
    case $description in
    *"$program"*) ;;
    *) fail "the package description does not mention $program: $description" ;;
    esac
done
rm -rf "$scratch"
