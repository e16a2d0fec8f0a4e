#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the prefix elsewhere, and
# checks that what a user and a module author get works from there alone:
# the public headers compile by themselves, examples/hello-module builds
# against the installed SDK (CMake package and pkg-config), qeno-host lists
# both classes and serves a real client through the example's box. Then
# builds the Debian package and the tar archive and checks their contents.
#   bash scripts/install-check.sh [BUILD_DIR]   (default build/plain, built already)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build/plain}"

work="$(mktemp -d /tmp/qeno-install.XXXXXX)"
host_pid=""
cleanup() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install-check: $*" >&2; exit 1; }

echo "-- install into a prefix, then move the prefix"
cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/prefix"
prefix="$work/prefix"
for file in bin/qeno-host lib/libqenohost.so lib/qeno/modules/libqenoserver.so \
            include/qeno/JModuleObj.h include/qeno/QenoVersion.h \
            lib/cmake/QenoHost/QenoHostConfig.cmake lib/cmake/QenoHost/QenoHostConfigVersion.cmake \
            lib/pkgconfig/qenohost.pc; do
  [ -e "$prefix/$file" ] || fail "missing $file"
done
soname="$(readelf -d "$prefix/lib/libqenohost.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
[[ "$soname" == libqenohost.so.[0-9]* ]] || fail "libqenohost.so has SONAME '$soname'"
for private in SocketHandle.h LingeringCloser.h ListenerProbe.h GraphFile.h QenoServer.h; do
  [ ! -e "$prefix/include/qeno/$private" ] || fail "private header $private installed"
done

echo "-- no installed header names the socket internals of host/net/"
# Their file names and the types their headers declare at the top level, as
# whole words: a public header that includes one of them, or names one of
# their types, would not compile without the private folder.
mapfile -t internals < <(
  for file in host/net/*; do basename "${file%.*}"; done
  sed -nE 's/^(class|struct|enum class|enum|union) ([A-Za-z_][A-Za-z0-9_]*)( |;|$).*/\2/p;
           s/^using ([A-Za-z_][A-Za-z0-9_]*) =.*/\1/p' host/net/*.h
)
[ "${#internals[@]}" -gt 0 ] || fail "found no names in host/net/"
for name in $(printf '%s\n' "${internals[@]}" | sort -u); do
  if named="$(grep -rlw -- "$name" "$prefix/include/qeno")"; then
    fail "installed header(s) name $name of host/net/: $named"
  fi
done

echo "-- every public header compiles on its own"
for header in "$prefix"/include/qeno/*.h; do
  printf '#include <qeno/%s>\n' "$(basename "$header")" |
    c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include" -x c++ - ||
    fail "$(basename "$header") does not compile on its own"
done

echo "-- build examples/hello-module against the installed SDK alone"
cmake -S examples/hello-module -B "$work/hello" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
found="$(sed -n 's/^QenoHost_DIR:PATH=//p' "$work/hello/CMakeCache.txt")"
[ "$found" = "$prefix/lib/cmake/QenoHost" ] || fail "the example found the SDK at '$found'"
cmake --build "$work/hello" >/dev/null
cmake --install "$work/hello" --prefix "$prefix" >/dev/null
[ -e "$prefix/lib/qeno/modules/libchunkcounter.so" ] || fail "the example did not install"

echo "-- the module the README shows, from the README alone"
mkdir -p "$work/readme"
section() {  # the first fenced block of kind $1 in the README's module section
  awk -v kind="$1" '/^## Write your own module/ { on = 1; next } on && /^## / { exit }
    on && !inside && $0 == "```" kind { inside = 1; next }
    inside && /^```/ { exit } inside { print }' README.md
}
section cmake >"$work/readme/CMakeLists.txt"
section cpp >"$work/readme/MyModule.cpp"
[ -s "$work/readme/CMakeLists.txt" ] && [ -s "$work/readme/MyModule.cpp" ] ||
  fail "the README's module section lost its CMakeLists.txt or MyModule.cpp"
cmake -S "$work/readme" -B "$work/readme/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/readme/build" >/dev/null
"$prefix/bin/qeno-host" --module-path "$work/readme/build" --classes |
  grep -Eq "^Doubler +$work/readme/build/libmymodule.so$" ||
  fail "the README's module does not register Doubler"

echo "-- the same module through pkg-config"
mkdir -p "$work/pc"
# shellcheck disable=SC2046
c++ -std=c++20 -shared -fPIC -Wall -Wextra -Werror -Wl,-z,defs \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags qenohost) \
  examples/hello-module/ChunkCounter.cpp -o "$work/pc/libchunkcounter.so" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --libs qenohost)

echo "-- qeno-host lists the classes of both modules"
classes="$("$prefix/bin/qeno-host" --classes)"
echo "$classes"
grep -Eq "^QenoServer +$prefix/lib/qeno/modules/libqenoserver.so$" <<<"$classes" ||
  fail "--classes does not list QenoServer from the installed module folder"
grep -Eq "^ChunkCounter +$prefix/lib/qeno/modules/libchunkcounter.so$" <<<"$classes" ||
  fail "--classes does not list ChunkCounter"
# A second copy of the module is refused, naming both; QENO_MODULE_PATH's
# folders come before the installed one.
both="$(QENO_MODULE_PATH="$work/pc" "$prefix/bin/qeno-host" --classes 2>&1 >/dev/null)"
grep -qF "refused class ChunkCounter from $prefix/lib/qeno/modules/libchunkcounter.so: already registered by $work/pc/libchunkcounter.so" \
  <<<"$both" || fail "a duplicate class was not refused: $both"

echo "-- qeno-host serves a real client through the example's box"
port=""
for attempt in 1 2 3 4 5; do
  candidate=$((8100 + RANDOM % 1800))
  "$prefix/bin/qeno-host" --graph examples/hello-module/counter-graph.json \
    --port "$candidate" --quiet </dev/null >"$work/host.out" 2>"$work/host.err" &
  host_pid=$!
  for _ in $(seq 100); do
    if grep -q "listening on 127.0.0.1 port $candidate" "$work/host.out"; then port="$candidate"; break; fi
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] && break
  kill "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=""
  [ "$attempt" -lt 5 ] || fail "qeno-host did not listen: $(cat "$work/host.err")"
done
first="$(printf 'hi\r\n' | timeout 10 nc -N 127.0.0.1 "$port")"
second="$(printf 'again\r\n' | timeout 10 nc -N 127.0.0.1 "$port")"
echo "replies: $first / $second"
[[ "$first" =~ ^([0-9]+),x$ ]] && count1="${BASH_REMATCH[1]}" || fail "first reply '$first'"
[[ "$second" =~ ^([0-9]+),x$ ]] && count2="${BASH_REMATCH[1]}" || fail "second reply '$second'"
[ "$count1" -ge 1 ] && [ "$count2" -gt "$count1" ] ||
  fail "the chunk count did not reach the replies: '$first', '$second'"
kill -TERM "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=""
[ "$status" -eq 0 ] || fail "qeno-host ended with status $status: $(cat "$work/host.err")"

echo "-- Debian package and tar archive"
(cd "$build" && cpack -G "DEB;TGZ" -B "$work/packages" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$(ls "$work"/packages/qeno-host_*.deb)"
contents="$(dpkg-deb -c "$deb")"
for file in ./usr/bin/qeno-host ./usr/lib/libqenohost.so.0 ./usr/lib/qeno/modules/libqenoserver.so \
            ./usr/include/qeno/JModuleObj.h ./usr/lib/cmake/QenoHost/QenoHostConfig.cmake \
            ./usr/lib/pkgconfig/qenohost.pc; do
  grep -q " $file\( \|$\)" <<<"$contents" || fail "$(basename "$deb") lacks $file"
done
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for needed in libc6 libcairo2 libfontconfig1 libstdc++6; do
  grep -q "$needed" <<<"$depends" || fail "the package does not depend on $needed"
done
# What the package holds runs where it is unpacked.
dpkg-deb -x "$deb" "$work/unpacked"
"$work/unpacked/usr/bin/qeno-host" --classes | grep -q '^QenoServer ' ||
  fail "qeno-host from the package does not list QenoServer"
ls "$work"/packages/qeno-host-*.tar.gz >/dev/null || fail "no tar archive"
echo "install-check: passed"
