#!/bin/sh
# Installs the kit into a scratch prefix and builds two consumers against it:
# the examples project through find_package(Nivra), and the C example with
# plain cc and pkg-config.  Then runs them on a good and a broken file.
set -eu
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" > /dev/null
for f in include/nivra/conf.h include/nivra/conf.hpp include/nivra/lhash.h lib/libnivra.a lib/nivra/nivra_utils.o \
         lib/nivra/nivra_sysid.o bin/nodeprint bin/confcheck share/man/man1/nodeprint.1 \
         share/man/man1/confcheck.1 lib/pkgconfig/nivra.pc lib/cmake/Nivra/NivraConfig.cmake; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

cmake -S "$source/examples" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$prefix/consumer" > /dev/null

PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$prefix/pc_example" "$source/examples/conf_example.c" \
    $(pkg-config --cflags --libs nivra)

conf="$source/examples/example.conf"
last() { "$@" | tail -n 1; }
USER=tester
export USER
[ "$(last "$prefix/consumer/conf_example_c" "$conf")" = \
  "service 'example tester' on port 9090, verbose 1, ratio 0.75" ]
[ "$(last "$prefix/pc_example" - < "$conf")" = \
  "service 'example tester' on port 9090, verbose 1, ratio 0.75" ]
[ "$(last "$prefix/consumer/conf_example_cpp" "$conf")" = "Hello,  world (port 9090, verbose)" ]
# The examples run whatever the environment holds: the file's own USER
# entry stands in for an unset variable.
unset USER
[ "$(last "$prefix/consumer/conf_example_c" "$conf")" = \
  "service 'example operator' on port 9090, verbose 1, ratio 0.75" ]
"$prefix/consumer/conf_example_c" "$conf" | grep -qx '  greeting = Hello,  world'

printf '[service]\nport = 1\nbroken\n' > "$prefix/broken.conf"
if "$prefix/pc_example" "$prefix/broken.conf" 2> "$prefix/err"; then
    echo "a broken file loaded"; exit 1
fi
grep -qF "broken.conf: missing equal sign, line 3 (line 3)" "$prefix/err"
if "$prefix/consumer/conf_example_cpp" "$prefix/broken.conf" 2> "$prefix/err"; then
    echo "a broken file loaded"; exit 1
fi
grep -qF "broken.conf: missing equal sign, line 3 (line 3)" "$prefix/err"
echo "consumers built and ran against $prefix"
