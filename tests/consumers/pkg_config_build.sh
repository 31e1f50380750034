#!/usr/bin/env bash
# Builds the examples through pkg-config the way the README shows, from a copy of an
# installed prefix: the .pc files find their prefix from their own folder, so every flag
# must point into the copy and none into the prefix that was installed.
#   pkg_config_build.sh PREFIX COPY LIBDIR EXAMPLES OUT
# Compilers and flags come from CC, CXX, CFLAGS, CXXFLAGS and LDFLAGS.
set -euo pipefail
prefix=$1 copy=$2 libdir=$3 examples=$4 out=$5
rm -rf "$copy" "$out"
cp -a "$prefix" "$copy"
mkdir -p "$out"
export PKG_CONFIG_PATH=$copy/$libdir/pkgconfig

for pc in bmpfun bmpfun-core; do
  flags=$(pkg-config --cflags --libs "$pc")
  echo "$pc: $flags"
  if [[ " $flags" != *" -I$copy/"* || " $flags" != *" -L$copy/"* ]]; then
    echo "$pc: the flags do not point into $copy" >&2
    exit 1
  fi
  if [[ "$flags" == *"$prefix/"* ]]; then
    echo "$pc: the flags point into $prefix, where the package was installed" >&2
    exit 1
  fi
done

# No -std option of our own: bmpfun-core.pc brings the C++20 it needs.
# shellcheck disable=SC2046,SC2086  # the flags are meant to split into words
"${CXX:-c++}" ${CXXFLAGS:-} $(pkg-config --cflags bmpfun-core) "$examples/cpp_demo.cpp" -o "$out/cpp_demo" \
  ${LDFLAGS:-} $(pkg-config --libs bmpfun-core)
# shellcheck disable=SC2046,SC2086
"${CC:-cc}" ${CFLAGS:-} $(pkg-config --cflags bmpfun) "$examples/c_linked.c" -o "$out/c_linked" \
  ${LDFLAGS:-} $(pkg-config --libs bmpfun)
