#!/bin/sh
# Usage: run.sh CC LIBNIVRA INCLUDE_DIR SCRATCH [FLAG...]
# Symbol versions keep a program's calls in the kit when another library in
# the process, libclash.so, defines the same names (sk_new, lh_strhash), and
# keep that library's own calls in its own code.
#
# The program is linked against the first release of libclash, which does
# not define those names yet, and runs with a later one that does: the
# clash appears after the link, so the link binds the program's references
# to the kit, and only the run-time lookup can go wrong.  It runs with
# libclash searched before the kit and after it (the two link orders).
# Each run must print that sk_new and lh_strhash reached the kit and that
# clash_probe's calls reached libclash.  FLAGs go to every compile and link.
set -eu
cc=$1
lib=$2
include=$3
scratch=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
libdir=$(cd "$(dirname "$lib")" && pwd)
rm -rf "$scratch"
mkdir -p "$scratch/first" "$scratch/later"

clash() {  # clash DIR [FLAG...]: builds DIR/libclash.so
    dir=$1
    shift
    "$cc" "$@" -O2 -fPIC -shared -o "$dir/libclash.so" "$here/clash.c" \
        -Wl,--version-script="$here/clash.map" -Wl,-soname,libclash.so
}
clash "$scratch/first" -DCLASH_FIRST_RELEASE "$@"
clash "$scratch/later" "$@"
# The test means something only if libclash's own calls can be bound
# elsewhere: they must go through the dynamic linker.
for name in sk_new lh_strhash; do
    readelf -rW "$scratch/later/libclash.so" | grep -Eq " $name(@|[[:space:]])" ||
        { echo "libclash.so calls its own $name directly"; exit 1; }
done

status=0
for order in kit-first clash-first; do
    case $order in
    kit-first) libs="$lib $scratch/first/libclash.so" ;;
    clash-first) libs="$scratch/first/libclash.so $lib" ;;
    esac
    # shellcheck disable=SC2086
    "$cc" "$@" -std=c99 -Wall -Werror -I"$include" -o "$scratch/$order" "$here/program.c" \
        $libs -Wl,-rpath,"$scratch/later:$libdir"
    got=$("$scratch/$order")
    want="sk_new=kit lh_strhash=kit clash_probe=clash"
    if [ "$got" = "$want" ]; then
        echo "$order: $got"
    else
        echo "$order: $got, expected $want"
        status=1
    fi
done
exit $status
