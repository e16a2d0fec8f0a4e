#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the prefix elsewhere, and
# checks that what a user and a module author get works from there alone:
# the public headers compile by themselves, examples/hello-module builds
# against the installed SDK (CMake package and pkg-config, with the same
# flags), qeno-host lists the classes and serves real clients through the
# example's box, the stock boxes, the graded examples and the template (copied
# out of the tree), and every console session of the guides replays. Then
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

echo "-- every code fragment of the module guide is in a built example"
bash scripts/check-guide.sh

echo "-- install into a prefix, then move the prefix"
cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/prefix"
prefix="$work/prefix"
# The library folder: the multiarch one on Debian (lib/x86_64-linux-gnu).
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")"
[ -n "$libdir" ] || fail "no CMAKE_INSTALL_LIBDIR in $build/CMakeCache.txt"
for file in bin/qeno-host "$libdir/libqenohost.so" "$libdir/qeno/modules/libqenoserver.so" \
            "$libdir/qeno/modules/libqenobasics.so" include/qeno/JModuleObj.h include/qeno/QenoVersion.h \
            "$libdir/cmake/QenoHost/QenoHostConfig.cmake" "$libdir/cmake/QenoHost/QenoHostConfigVersion.cmake" \
            "$libdir/pkgconfig/qenohost.pc" share/doc/qeno-host/copyright share/doc/qeno-host-dev/copyright \
            share/doc/qeno-host-dev/modules.md share/doc/qeno-host-dev/stock-boxes.md \
            share/doc/qeno-host/console.md share/doc/qeno-host-dev/examples/template/CMakeLists.txt; do
  [ -e "$prefix/$file" ] || fail "missing $file"
done
soname="$(readelf -d "$prefix/$libdir/libqenohost.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
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

echo "-- every console session of the guides, against the installed tree, as installed"
perl scripts/check-sessions.pl --bin "$prefix/bin" --prefix "$prefix" docs/console.md \
  docs/editor-page.md docs/graph-files.md docs/stock-boxes.md docs/modules.md

echo "-- build examples/hello-module against the installed SDK alone"
cmake -S examples/hello-module -B "$work/hello" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
found="$(sed -n 's/^QenoHost_DIR:PATH=//p' "$work/hello/CMakeCache.txt")"
[ "$found" = "$prefix/$libdir/cmake/QenoHost" ] || fail "the example found the SDK at '$found'"
cmake --build "$work/hello" >/dev/null
cmake --install "$work/hello" --prefix "$prefix" >/dev/null
[ -e "$prefix/lib/qeno/modules/libchunkcounter.so" ] || fail "the example did not install"

echo "-- the same module through pkg-config, with the same visibility and link flags"
mkdir -p "$work/pc"
pc() { PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config "$@" qenohost; }
# A module's build adds the module flags to what any user of the library gets.
cflags="$(pc --cflags) $(pc --variable=module_cflags)"
libs="$(pc --libs) $(pc --variable=module_libs)"
# shellcheck disable=SC2086
c++ -std=c++20 -shared -fPIC -Wall -Wextra -Werror $cflags \
  examples/hello-module/ChunkCounter.cpp -o "$work/pc/libchunkcounter.so" $libs
exported() { nm -D --defined-only "$1" | wc -l; }
[ "$(exported "$work/pc/libchunkcounter.so")" -eq "$(exported "$work/hello/libchunkcounter.so")" ] ||
  fail "pkg-config's build exports $(exported "$work/pc/libchunkcounter.so") symbols," \
    "qeno_add_module's $(exported "$work/hello/libchunkcounter.so")"
printf 'void missing();\nvoid call() { missing(); }\n' >"$work/pc/undefined.cpp"
# shellcheck disable=SC2086
if c++ -shared -fPIC $cflags "$work/pc/undefined.cpp" -o "$work/pc/libundefined.so" \
  $libs 2>/dev/null; then
  fail "pkg-config's flags link a module with an undefined symbol"
fi

echo "-- qeno-host lists the classes of both modules"
classes="$("$prefix/bin/qeno-host" --classes)"
echo "$classes"
grep -Eq "^QenoServer +$prefix/$libdir/qeno/modules/libqenoserver.so$" <<<"$classes" ||
  fail "--classes does not list QenoServer from the installed module folder"
grep -Eq "^ChunkCounter +$prefix/lib/qeno/modules/libchunkcounter.so$" <<<"$classes" ||
  fail "--classes does not list ChunkCounter"
# A second copy of the module is refused, naming both; QENO_MODULE_PATH's
# folders come before the installed one.
both="$(QENO_MODULE_PATH="$work/pc" "$prefix/bin/qeno-host" --classes 2>&1 >/dev/null)"
grep -qF "refused class ChunkCounter from $prefix/lib/qeno/modules/libchunkcounter.so: already registered by $work/pc/libchunkcounter.so" \
  <<<"$both" || fail "a duplicate class was not refused: $both"

# start_host ARGS...: runs the installed qeno-host with ARGS on a free port
# until it listens; sets host_pid and port.
start_host() {
  port=""
  for attempt in 1 2 3 4 5; do
    local candidate=$((8100 + RANDOM % 1800))
    "$prefix/bin/qeno-host" "$@" --port "$candidate" --quiet \
      </dev/null >"$work/host.out" 2>"$work/host.err" &
    host_pid=$!
    for _ in $(seq 100); do
      if grep -q "listening on 127.0.0.1 port $candidate" "$work/host.out"; then port="$candidate"; break; fi
      kill -0 "$host_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$port" ] && return 0
    kill "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
    host_pid=""
  done
  fail "qeno-host $* did not listen: $(cat "$work/host.err")"
}
ask() { printf '%s\r\n\r\n' "$1" | timeout 10 nc -N 127.0.0.1 "$port"; }
# Ends qeno-host as a service manager would; it must stop every box cleanly.
stop_host() {
  kill -TERM "$host_pid"
  local status=0
  wait "$host_pid" || status=$?
  host_pid=""
  [ "$status" -eq 0 ] || fail "qeno-host ended with status $status: $(cat "$work/host.err")"
}

echo "-- qeno-host serves a real client through the example's box"
start_host --graph examples/hello-module/counter-graph.json
first="$(ask hi)"
second="$(ask again)"
echo "replies: $first / $second"
[[ "$first" =~ ^([0-9]+),x$ ]] && count1="${BASH_REMATCH[1]}" || fail "first reply '$first'"
[[ "$second" =~ ^([0-9]+),x$ ]] && count2="${BASH_REMATCH[1]}" || fail "second reply '$second'"
[ "$count1" -ge 1 ] && [ "$count2" -gt "$count1" ] ||
  fail "the chunk count did not reach the replies: '$first', '$second'"
stop_host

echo "-- the stock boxes: a running total"
start_host --graph basics/tally-graph.json
replies="$(ask v=5) $(ask v=37) $(ask nothing)"
echo "replies: $replies"
[ "$replies" = "5,x 42,x 42,x" ] || fail "the tally answered '$replies'"
stop_host

echo "-- the graded examples, built against the installed SDK alone"
for example in scaler ticker; do
  cmake -S "examples/$example" -B "$work/$example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
  cmake --build "$work/$example" >/dev/null
done
start_host --module-path "$work/scaler" --graph examples/scaler/scaler-graph.json
reply="$(ask n=14)"
echo "scaler: $reply"
[ "$reply" = "42,x" ] || fail "the scaler answered '$reply'"
stop_host
# The ticker's own thread counts while clients ask; SIGTERM must end it.
start_host --module-path "$work/ticker" --graph examples/ticker/ticker-graph.json
first="$(ask tick)"
later="$first"
for _ in $(seq 100); do
  later="$(ask tick)"
  [ "$later" != "$first" ] && break
  sleep 0.05
done
echo "ticker: $first then $later"
[[ "$first" =~ ^([0-9]+),x$ ]] && [[ "$later" =~ ^([0-9]+),x$ ]] &&
  [ "${later%,x}" -gt "${first%,x}" ] || fail "the ticker did not count: '$first', '$later'"
stop_host

echo "-- the template, copied out of the tree, against the installed SDK alone"
cp -r examples/template "$work/template"
cmake -S "$work/template" -B "$work/template/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/template/build" >/dev/null
ctest --test-dir "$work/template/build" --output-on-failure >/dev/null ||
  fail "the template's test failed"
"$prefix/bin/qeno-host" --module-path "$work/template/build" --classes |
  grep -Eq "^MyBox +$work/template/build/libmymodule.so$" || fail "the template does not register MyBox"
(cd "$work/template" && start_host --module-path build --graph graph.json &&
  reply="$(ask n=21)" && echo "template: $reply" && [ "$reply" = "42,x" ] && stop_host) ||
  fail "the template's graph did not answer 42,x"

echo "-- the service unit: systemd-analyze verify, then its command as systemd runs it"
unit="$prefix/lib/systemd/system/qeno-host@.service"
[ -e "$unit" ] || fail "no $unit"
mkdir -p "$work/units" "$work/etc" "$work/state"
cp "$unit" "$work/units/"
verify="$(systemd-analyze verify --man=no "$work/units/qeno-host@demo.service" 2>&1)" ||
  fail "systemd-analyze verify failed: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# ExecStart with its lines joined, the instance demo, $$ as systemd passes
# it to the shell, /etc/qeno moved here, and the program where the prefix
# moved to (a unit names it by the path it was installed at).
command="$(awk '/^ExecStart=/ { on = 1 } on { print } on && !/\\$/ { exit }' "$unit" |
  sed -e 's/^ExecStart=//' -e 's/\\$//' | tr -d '\n' |
  sed -e 's/%i/demo/g' -e 's/\$\$/$/g' -e "s|/etc/qeno|$work/etc|g" \
    -e "s|exec [^ ]*/qeno-host |exec $prefix/bin/qeno-host |")"
# serve_unit: runs the unit's command until it listens on $port.
serve_unit() {
  (export STATE_DIRECTORY="$work/state" QENO_OPTIONS=""; eval "exec $command") \
    </dev/null >"$work/host.out" 2>"$work/host.err" &
  host_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on 127.0.0.1 port $port" "$work/host.out" && return 0
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "the unit's command did not listen: $(cat "$work/host.err")"
}
port=$((8100 + RANDOM % 1800))
sed "s/\"port\": 8080/\"port\": $port/" basics/tally-graph.json >"$work/etc/demo.json"
serve_unit
reply="$(ask v=5)"
stop_host
[ "$reply" = "5,x" ] && grep -q '"operand": 5' "$work/state/graph.json" ||
  fail "the unit served '$reply' and saved: $(cat "$work/state/graph.json" 2>/dev/null)"
serve_unit  # the saved graph is newer: the total goes on
reply="$(ask v=1)"
stop_host
[ "$reply" = "6,x" ] || fail "the unit did not start from its saved graph: '$reply'"
touch -d '+1 minute' "$work/etc/demo.json"  # an edited graph file takes the saved one's place
serve_unit
reply="$(ask v=1)"
stop_host
[ "$reply" = "1,x" ] || fail "the unit did not start from the edited graph file: '$reply'"
echo "unit: verified; served 5,x, then 6,x from its state, then 1,x from an edited graph"

echo "-- Debian packages qeno-host and qeno-host-dev, and the tar archive"
(cd "$build" && cpack -G "DEB;TGZ" -B "$work/packages" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
if grep -qi warning "$work/cpack.log"; then cat "$work/cpack.log"; fail "cpack warned"; fi
deb="$(ls "$work"/packages/qeno-host_*.deb)"
dev="$(ls "$work"/packages/qeno-host-dev_*.deb)"
# has PACKAGE FILE...: the package holds each file.
has() {
  local package="$1" contents file
  shift
  contents="$(dpkg-deb -c "$package")"
  for file in "$@"; do
    grep -q " \./usr/$file\( \|$\)" <<<"$contents" || fail "$(basename "$package") lacks /usr/$file"
  done
}
lacks() {
  local package="$1" contents
  contents="$(dpkg-deb -c "$package")"
  if grep -q " \./usr/$2" <<<"$contents"; then fail "$(basename "$package") holds /usr/$2"; fi
}
has "$deb" bin/qeno-host "$libdir/libqenohost.so.0" "$libdir/qeno/modules/libqenoserver.so" \
  "$libdir/qeno/modules/libqenobasics.so" share/doc/qeno-host/copyright \
  "lib/systemd/system/qeno-host@.service"
grep -q ' exec /usr/bin/qeno-host ' <(dpkg-deb --fsys-tarfile "$deb" |
  tar -xOf - "./usr/lib/systemd/system/qeno-host@.service") ||
  fail "the packaged unit does not start /usr/bin/qeno-host"
lacks "$deb" include/
lacks "$deb" "$libdir/libqenohost.so "
has "$dev" include/qeno/JModuleObj.h "$libdir/libqenohost.so" \
  "$libdir/cmake/QenoHost/QenoHostConfig.cmake" "$libdir/pkgconfig/qenohost.pc" \
  share/doc/qeno-host-dev/copyright share/doc/qeno-host-dev/modules.md \
  share/doc/qeno-host-dev/examples/template/MyBox.cpp
lacks "$dev" bin/
depends="$(dpkg-deb -f "$deb" Depends)"
echo "qeno-host Depends: $depends"
for needed in libc6 libcairo2 libfontconfig1 libstdc++6 fonts-dejavu-core; do
  grep -q "$needed" <<<"$depends" || fail "qeno-host does not depend on $needed"
done
dev_depends="$(dpkg-deb -f "$dev" Depends)"
echo "qeno-host-dev Depends: $dev_depends"
[[ "$dev_depends" == *"qeno-host (= $(dpkg-deb -f "$deb" Version))"* ]] ||
  fail "qeno-host-dev does not need the qeno-host of its version"
dpkg-deb --ctrl-tarfile "$deb" | tar -tf - | grep -q shlibs || fail "qeno-host has no shlibs file"
# What the packages hold runs, and builds the template, where they are unpacked.
dpkg-deb -x "$deb" "$work/unpacked"
dpkg-deb -x "$dev" "$work/unpacked"
# Installed, the library is in the system's folder; unpacked here, it is told.
unpacked_classes="$(LD_LIBRARY_PATH="$work/unpacked/usr/$libdir" "$work/unpacked/usr/bin/qeno-host" --classes)"
for class in QenoServer Arithmetic Counter; do
  grep -q "^$class " <<<"$unpacked_classes" || fail "qeno-host from the package does not list $class"
done
cmake -S "$work/unpacked/usr/share/doc/qeno-host-dev/examples/template" -B "$work/template-deb" \
  -G Ninja -DCMAKE_PREFIX_PATH="$work/unpacked/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
cmake --build "$work/template-deb" >/dev/null || fail "the template does not build against qeno-host-dev"
ls "$work"/packages/qeno-host-*.tar.gz >/dev/null || fail "no tar archive"

echo "-- what Debian asks of the packages"
has "$deb" share/man/man1/qeno-host.1.gz share/doc/qeno-host/changelog.gz share/doc/qeno-host/console.md \
  share/doc/qeno-host/tally-graph.json
has "$dev" share/doc/qeno-host-dev/changelog.gz share/doc/qeno-host-dev/stock-boxes.md
for package in "$deb" "$dev"; do
  dpkg-deb --fsys-tarfile "$package" | tar -xOf - --wildcards './usr/share/doc/*/copyright' |
    grep -q '^License: Apache-2.0$' || fail "$(basename "$package")'s copyright names no Apache-2.0"
done
man --warnings -l "$work/unpacked/usr/share/man/man1/qeno-host.1.gz" >/dev/null 2>"$work/man.err" &&
  [ ! -s "$work/man.err" ] || fail "the manual page: $(cat "$work/man.err")"
# Installed into /usr, nothing carries a run path, and pkg-config prints
# plain paths; a tree installed elsewhere was moved above and still worked.
for file in usr/bin/qeno-host "usr/$libdir/libqenohost.so.0" "usr/$libdir/qeno/modules/libqenoserver.so" \
            "usr/$libdir/qeno/modules/libqenobasics.so"; do
  if readelf -d "$work/unpacked/$file" | grep -Eq 'RPATH|RUNPATH'; then fail "/$file has a run path"; fi
done
packaged_pc="$(PKG_CONFIG_LIBDIR="$work/unpacked/usr/$libdir/pkgconfig" pkg-config --cflags --libs \
  --variable=moduledir qenohost; grep '^prefix=' "$work/unpacked/usr/$libdir/pkgconfig/qenohost.pc")"
[[ "$packaged_pc" != *"/../"* && "$packaged_pc" == *"prefix=/usr"* ]] ||
  fail "the packaged qenohost.pc: $packaged_pc"
# ldconfig runs from its trigger alone.
for script in postinst postrm; do
  if dpkg-deb -I "$deb" "$script" | grep -v '^ *#' | grep -qw ldconfig; then
    fail "qeno-host's $script runs ldconfig"
  fi
done
lintian --pedantic --fail-on none "$deb" "$dev" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log"; fail "lintian failed"; }
if grep -E '^[EW]: ' "$work/lintian.log"; then fail "lintian reports errors or warnings"; fi

echo "-- install and purge in a throwaway root: purge leaves nothing"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
before="$(cd "$root" && find . | sort)"
# The root holds no system to depend on, and no shell to run scripts in:
# they run from here, told the root by DPKG_ROOT, which they leave alone.
dpkg --root="$root" --force-script-chrootless --force-depends -i "$deb" "$dev" \
  >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg could not install the packages"; }
[ -x "$root/usr/bin/qeno-host" ] && [ -e "$root/usr/include/qeno/JModuleObj.h" ] ||
  fail "dpkg installed no qeno-host"
dpkg --root="$root" --force-script-chrootless --purge qeno-host-dev qeno-host >>"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg could not purge the packages"; }
after="$(cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort)"
left="$(comm -13 <(echo "$before") <(echo "$after"))"
[ -z "$left" ] || fail "purge left: $left"
echo "install-check: passed"
