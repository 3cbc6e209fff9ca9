#!/bin/sh
# Consumers of the kit.  Usage: consumers.sh WAY BUILD SOURCE SCRATCH
#   prefixes          installs the kit twice under SCRATCH: static/, from a
#                     static-only build of SOURCE, and shared/, from BUILD
#                     (a shared build, which installs both libraries)
#   find_package      the examples against each prefix
#   pkg-config        the C example with plain cc against each prefix
#   add_subdirectory, FetchContent   the examples with the kit's source tree
#   plugin            a dlopen'ed plugin that links the static library
#   exporting         exporting/: a project that adds the kit and installs and
#                     exports its own library linking Nivra::nivra; then
#                     exporting/downstream/ finds that installed package
# Each program loads a file, lists it and reports an error with its line.
# Exit 77 (skipped) when a tool the way needs is missing.
set -eu
way=$1
build=$2
source=$3
scratch=$4
good="$source/examples/example.conf"
broken="$scratch/broken.conf"
expected="service 'example tester' on port 9090, verbose 1, ratio 0.75"
USER=tester
export USER

fail() { echo "$way: $*"; exit 1; }
last() { "$@" | tail -n 1; }

# The C example: the listing, the typed values, and the error of a broken
# file as FILE:LINE: TEXT, of a missing one (after a good one) as FILE: TEXT.
check_c() {
    [ "$(last "$@" "$good")" = "$expected" ] || fail "$* gave: $("$@" "$good")"
    "$@" "$good" | grep -qx '  greeting = Hello,  world' || fail "$*: listing"
    if "$@" "$broken" 2> "$scratch/err"; then fail "$*: a broken file loaded"; fi
    grep -qxF "$broken:3: missing equal sign" "$scratch/err" || fail "$*: $(cat "$scratch/err")"
    if "$@" "$good" "$scratch/missing.conf" 2> "$scratch/err" > /dev/null; then
        fail "$*: a missing file loaded"
    fi
    grep -qxF "$scratch/missing.conf: unable to open configuration file" "$scratch/err" ||
        fail "$*: $(cat "$scratch/err")"
}

check_cpp() {
    [ "$(last "$1" "$good")" = "Hello,  world (port 9090, verbose)" ] || fail "$1"
    if "$1" "$broken" 2> "$scratch/err"; then fail "$1: a broken file loaded"; fi
    grep -qxF "$broken:3: missing equal sign" "$scratch/err" || fail "$1: $(cat "$scratch/err")"
}

consumer() {  # consumer DIR VIA [cmake args...]: configures and builds tests/consumers
    dir=$1
    via=$2
    shift 2
    rm -rf "$dir"
    cmake -S "$source/tests/consumers" -B "$dir" -DNIVRA_VIA="$via" -DNIVRA_SOURCE="$source" \
        -DCMAKE_BUILD_TYPE=Release "$@" > "$dir.log" 2>&1 || { cat "$dir.log"; fail "configure"; }
    cmake --build "$dir" -j2 >> "$dir.log" 2>&1 || { cat "$dir.log"; fail "build"; }
}

linked_shared() { ldd "$1" | grep -q 'libnivra\.so\.1'; }

case $way in
prefixes)
    rm -rf "$scratch"
    mkdir -p "$scratch"
    cmake -S "$source" -B "$scratch/static-build" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DNIVRA_BUILD_TESTS=OFF > "$scratch/static.log" 2>&1 &&
        cmake --build "$scratch/static-build" -j2 >> "$scratch/static.log" 2>&1 &&
        cmake --install "$scratch/static-build" --prefix "$scratch/static" >> "$scratch/static.log" ||
        { cat "$scratch/static.log"; fail "static build"; }
    cmake --install "$build" --prefix "$scratch/shared" > /dev/null
    for f in include/nivra/conf.h include/nivra/conf.hpp lib/libnivra.a lib/nivra/nivra_utils.o \
             lib/nivra/nivra_sysid.o bin/nodeprint bin/confcheck share/man/man1/nodeprint.1 \
             share/man/man1/confcheck.1 lib/pkgconfig/nivra.pc lib/cmake/Nivra/NivraConfig.cmake \
             share/doc/nivra/config-format.md share/doc/nivra/using-the-library.md \
             share/doc/nivra/schemas.md include/nivra/conf_schema.h; do
        [ -e "$scratch/static/$f" ] || fail "not installed in static/: $f"
        [ -e "$scratch/shared/$f" ] || fail "not installed in shared/: $f"
    done
    [ ! -e "$scratch/static/lib/libnivra.so" ] || fail "a static build installed libnivra.so"
    [ -L "$scratch/shared/lib/libnivra.so" ] && [ -e "$scratch/shared/lib/libnivra.so.1" ] ||
        fail "libnivra.so and its soname link are not installed"
    printf '[service]\nport = 1\nbroken\n' > "$broken"
    ;;
find_package)
    for kind in static shared; do
        consumer "$scratch/fp-$kind" package -DCMAKE_PREFIX_PATH="$scratch/$kind"
        check_c "$scratch/fp-$kind/consumer_c"
        check_cpp "$scratch/fp-$kind/consumer_cpp"
        if [ $kind = shared ]; then
            linked_shared "$scratch/fp-$kind/consumer_c" || fail "not linked to libnivra.so.1"
        else
            ! linked_shared "$scratch/fp-$kind/consumer_c" || fail "static consumer needs libnivra.so"
        fi
    done
    ;;
pkg-config)
    command -v pkg-config > /dev/null || { echo "skipped: pkg-config is not installed"; exit 77; }
    for kind in static shared; do
        PKG_CONFIG_PATH="$scratch/$kind/lib/pkgconfig"
        export PKG_CONFIG_PATH
        # shellcheck disable=SC2046
        cc -std=c99 -Wall -Werror -o "$scratch/pc-$kind" "$source/examples/conf_example.c" \
            $(pkg-config --cflags --libs nivra)
        LD_LIBRARY_PATH="$scratch/$kind/lib"
        export LD_LIBRARY_PATH
        check_c "$scratch/pc-$kind"
        if [ $kind = shared ]; then
            linked_shared "$scratch/pc-$kind" || fail "not linked to libnivra.so.1"
        fi
    done
    ;;
add_subdirectory | FetchContent)
    consumer "$scratch/$way" "$way"
    check_c "$scratch/$way/consumer_c"
    check_cpp "$scratch/$way/consumer_cpp"
    ;;
plugin)
    consumer "$scratch/plugin" package -DCMAKE_PREFIX_PATH="$scratch/shared"
    out=$("$scratch/plugin/plugin_host" "$scratch/plugin/conf_plugin.so" "$good")
    [ "$out" = "[default]1[service]5" ] || fail "plugin listed: $out"
    if out=$("$scratch/plugin/plugin_host" "$scratch/plugin/conf_plugin.so" "$broken"); then
        fail "the plugin loaded a broken file"
    fi
    [ "$out" = "error at line 3: missing equal sign, line 3" ] || fail "plugin said: $out"
    ! linked_shared "$scratch/plugin/conf_plugin.so" || fail "the plugin needs libnivra.so"
    ;;
exporting)
    # Configures, generates, builds and installs without options; the
    # project's own install leaves the kit out, its component puts it in.
    dir=$scratch/exporting
    prefix=$scratch/exporting-prefix
    rm -rf "$dir" "$prefix" "$dir-downstream"
    {
        cmake -S "$source/tests/consumers/exporting" -B "$dir" -DNIVRA_SOURCE="$source" \
            -DCMAKE_BUILD_TYPE=Release &&
            cmake --build "$dir" -j2 &&
            cmake --install "$dir" --prefix "$prefix"
    } > "$dir.log" 2>&1 || { cat "$dir.log"; fail "configure, build or install"; }
    [ "$("$prefix/bin/greet" "$good")" = "Hello,  world on port 9090" ] || fail "greet"
    if "$prefix/bin/greet" "$broken" 2> "$scratch/err"; then fail "greet loaded a broken file"; fi
    grep -qxF "$broken:3: missing equal sign" "$scratch/err" || fail "greet: $(cat "$scratch/err")"
    [ -e "$prefix/lib/cmake/Greeter/GreeterTargets.cmake" ] || fail "no exported package"
    [ ! -e "$prefix/include/nivra" ] && [ ! -e "$prefix/lib/libnivra.a" ] ||
        fail "the project's own install installed the kit"
    cmake --install "$dir" --prefix "$prefix" --component nivra > "$dir.log" 2>&1 ||
        { cat "$dir.log"; fail "install --component nivra"; }
    for f in include/nivra/conf.hpp include/nivra/conf_doc.h lib/libnivra.a \
             lib/cmake/Nivra/NivraConfig.cmake lib/pkgconfig/nivra.pc \
             share/doc/nivra/config-format.md; do
        [ -e "$prefix/$f" ] || fail "--component nivra did not install $f"
    done
    {
        cmake -S "$source/tests/consumers/exporting/downstream" -B "$dir-downstream" \
            -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release &&
            cmake --build "$dir-downstream" -j2
    } > "$dir.log" 2>&1 || { cat "$dir.log"; fail "the installed package does not build"; }
    [ "$("$dir-downstream/greet_again" "$good")" = "Hello,  world on port 9090" ] ||
        fail "greet_again"
    ;;
*)
    fail "unknown way"
    ;;
esac
echo "$way: ok"
