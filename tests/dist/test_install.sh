#!/usr/bin/env bash
# The library as an application outside the build tree finds it: installed
# into a temporary prefix, the README's example is built against the
# installed copy twice (pkg-config, and CMake's find_package), the README's
# build-tree line is run as written, and every build inventories a virtual
# reader on 127.0.0.45.  Also checks that the README shows the example as it
# is in examples/.  Run by ctest with QDSIM, QD_SOURCE_DIR and QD_BINARY_DIR.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR
source "$(dirname "$0")/../support/cli_lib.sh"
need QDSIM QD_SOURCE_DIR QD_BINARY_DIR
address=127.0.0.45

# The README's C block is the example file, line for line.
sed -n '/^```c$/,/^```$/p' "$QD_SOURCE_DIR/README.md" | sed '1d;$d' >"$work/readme.c"
diff -u "$QD_SOURCE_DIR/examples/inventory.c" "$work/readme.c" ||
    fail "the README's example differs from examples/inventory.c"
echo "ok: the README shows examples/inventory.c"

start_sim --tags 5 --seed 3

# inventories PROGRAM: the program finds the five tags.
inventories() {
    local out
    out=$("$@" "$address") || fail "$* exited $?"
    [[ $(grep -c '^tag of 96 bits' <<<"$out") == 5 ]] || fail "$*: $out"
}

prefix=$work/prefix
cmake --install "$QD_BINARY_DIR" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install: $(cat "$work/install.log")"
for f in include/qdapi.h include/qdapi/priv.h bin/qdctl bin/qdsim bin/qdgate share/man/man1/qdctl.1 share/man/man1/qdsim.1 \
    share/man/man1/qdgate.1 share/man/man3/qdapi.3 share/man/man3/qdapi-inventory.3 lib/systemd/system/qdgate@.service; do
    [[ -e $prefix/$f ]] || fail "not installed: $f"
done
pc=$(find "$prefix" -name qdapi.pc) && [[ -n $pc ]] || fail "no qdapi.pc installed"
libdir=$(dirname "$(dirname "$pc")")
[[ -L $libdir/libqdapi.so && -L $libdir/libqdapi.so.1 ]] || fail "the SONAME links are missing in $libdir"
echo "ok: installed"

# The installed programs run as they are, without LD_LIBRARY_PATH or the
# dynamic linker's cache: they find the library through their RUNPATH.
for program in qdctl qdsim qdgate; do
    env -u LD_LIBRARY_PATH "$prefix/bin/$program" --help >/dev/null 2>&1 ||
        fail "the installed $program does not run: $(env -u LD_LIBRARY_PATH "$prefix/bin/$program" --help 2>&1 | head -2)"
    readelf -d "$prefix/bin/$program" | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib' ||
        fail "the installed $program has no RUNPATH to its library"
done
echo "ok: the installed programs find the library beside them"
# The gateway's unit runs the installed program on /etc/qdgate/NAME.toml.
grep -qxF "ExecStart=$prefix/bin/qdgate --config /etc/qdgate/%i.toml" "$prefix/lib/systemd/system/qdgate@.service" ||
    fail "qdgate@.service does not run the installed qdgate: $(grep Exec "$prefix/lib/systemd/system/qdgate@.service")"
echo "ok: qdgate@.service runs the installed qdgate"

# man 3 NAME finds an exported function's page in the installed manual, and
# it shows the function's family page.
shown=$(MANPATH=$prefix/share/man MANWIDTH=80 man 3 tagdb_pop 2>&1 | col -b) || fail "man 3 tagdb_pop: $shown"
grep -q '^QDAPI-INVENTORY(3)' <<<"$shown" && grep -q 'tagdb_pop' <<<"$shown" ||
    fail "man 3 tagdb_pop does not show qdapi-inventory(3): $(head -5 <<<"$shown")"
echo "ok: man 3 tagdb_pop shows the installed qdapi-inventory(3)"

# pkg-config, as the README says.
export PKG_CONFIG_PATH=$libdir/pkgconfig
grep -q '^Requires.private: libtirpc' "$pc" || fail "qdapi.pc does not require libtirpc privately"
cc -std=c99 -Wall -Werror "$QD_SOURCE_DIR/examples/inventory.c" $(pkg-config --cflags --libs qdapi) \
    -Wl,-rpath,"$libdir" -o "$work/with-pkg-config" || fail "building with pkg-config"
inventories "$work/with-pkg-config"
echo "ok: built with pkg-config against the installed copy"

# find_package.
mkdir "$work/app"
cp "$QD_SOURCE_DIR/examples/inventory.c" "$work/app/"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(app C)
find_package(qdapi 1 REQUIRED)
add_executable(app inventory.c)
set_target_properties(app PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(app PRIVATE -Wall -Werror)
target_link_libraries(app PRIVATE qdapi::qdapi)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/app.log" 2>&1 &&
    cmake --build "$work/app/build" >>"$work/app.log" 2>&1 || fail "building with find_package: $(cat "$work/app.log")"
inventories "$work/app/build/app"
echo "ok: built with find_package against the installed copy"

# The README's build-tree line, with this build's directory for build/.
line=$(grep -E '^    cc .*-Lbuild/src' "$QD_SOURCE_DIR/README.md" | sed 's/^    //')
[[ -n $line ]] || fail "no build-tree compile line in the README"
line=${line//build\/src/$QD_BINARY_DIR/src}
(cd "$QD_SOURCE_DIR" && eval "${line/-o inventory/-o $work/from-build-tree}") || fail "$line"
inventories "$work/from-build-tree"
echo "ok: built as the README says against the build tree"
