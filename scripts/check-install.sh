#!/usr/bin/env bash
# Installs a built tree into a staging prefix and uses the installed files
# only, as an integrator would: builds example/host.c with the README's
# pkg-config command exactly as the README writes it (its prefix and file
# name put in) and through find_package(znp_dll), builds a client of every
# export as C and as C++ with -Wall -Wextra -pedantic -Werror, runs those
# clients without any LD_LIBRARY_PATH or run path of its own, runs the
# example host against the installed library and program on a copy of the
# installed example configuration, and checks that every link of the
# installed documents reaches its file.
# Usage: scripts/check-install.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:-build}" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/znp-install.XXXXXX")
lockfd=""
lock=""
program=""
cleanup() {
  # The POS number's lock file goes while we still hold it (see
  # tests/support/station_lock.h).
  if [ -n "$lockfd" ]; then
    rm -f "$lock"
    exec {lockfd}>&-
  fi
  rm -rf "$work"
  # The single-instance objects of our program file, should a program that
  # had to be killed leave them (a normal end removes them).
  if [ -n "$program" ]; then
    rm -f "/dev/shm/\$\$_$program.mutex" "/dev/shm/##_$program" "/dev/shm/##_$program.users"
  fi
}
trap cleanup EXIT
prefix=$work/prefix
step() { echo "--- $*"; }
fail() { echo "check-install: $*" >&2; exit 1; }

step "install into a staging prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
version=$(sed -n 's/^#define ZNP_DLL_VERSION "\(.*\)"$/\1/p' "$prefix/include/znp_dll.h")
major=${version%%.*}
[ -n "$version" ] || fail "the installed header declares no ZNP_DLL_VERSION"
pc=$(find "$prefix" -name znp_dll.pc -path '*/pkgconfig/*')
[ -n "$pc" ] || fail "no znp_dll.pc installed"
libdir=$(dirname "$(dirname "$pc")")
docdir=$prefix/share/doc/znp
for f in "$prefix/bin/trv_71" "$prefix/bin/znp_new_till" "$prefix/bin/sign_param_file" "$libdir/libznp_dll.so.$version" \
         "$libdir/cmake/znp_dll/znp_dllConfig.cmake" "$docdir/README.md" "$docdir/CHANGELOG.md" \
         "$docdir/docs/integration.md" "$docdir/docs/operations.md" "$docdir/docs/options.md" "$docdir/tools/README.md" \
         "$docdir/example/host.c" "$prefix/share/znp/example/WPAF/znpop_00.wt" "$prefix/share/znp/example/WOut"; do
  [ -e "$f" ] || fail "missing from the installation: ${f#"$prefix"/}"
done
[ "$(readlink "$libdir/libznp_dll.so")" = "libznp_dll.so.$major" ] || fail "libznp_dll.so does not link to .so.$major"
[ "$(readlink "$libdir/libznp_dll.so.$major")" = "libznp_dll.so.$version" ] ||
  fail "libznp_dll.so.$major does not link to .so.$version"
soname=$(objdump -p "$libdir/libznp_dll.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libznp_dll.so.$major" ] || fail "SONAME is '$soname', not libznp_dll.so.$major"
echo "libznp_dll.so.$version (SONAME $soname) and trv_71 installed"

step "the installed documents' links"
# Every relative link [text](target) of an installed document reaches a file
# of the installation (links within a page, "#...", are left alone).
broken=0
while IFS= read -r doc; do
  while IFS= read -r target; do
    target=${target%%#*}
    [ -n "$target" ] || continue
    case $target in http://* | https://* | mailto:*) continue ;; esac
    [ -e "$(dirname "$doc")/$target" ] || { echo "${doc#"$prefix"/}: broken link to $target"; broken=1; }
  done < <(grep -oE '\]\([^) ]+\)' "$doc" | sed 's/^](//; s/)$//')
done < <(find "$docdir" -name '*.md')
[ "$broken" -eq 0 ] || fail "installed documents hold broken links"
echo "every link of $(find "$docdir" -name '*.md' | wc -l) installed documents reaches its file"

step "build with the README's pkg-config command"
# The command of the README, as written there, with the staging prefix in
# place of /opt/znp and the example host in place of app.c; no LD_LIBRARY_PATH
# and no run path of ours, so the program must start as the README's does.
readme_cc=$(grep -m1 -E '^    cc app\.c \$\(PKG_CONFIG_PATH=/opt/znp/lib/pkgconfig pkg-config --cflags --libs znp_dll\)$' \
  "$src/README.md" | sed 's/^    //') || true
[ -n "$readme_cc" ] || fail "README.md holds no 'cc app.c \$(PKG_CONFIG_PATH=/opt/znp/lib/pkgconfig pkg-config ...)' command"
relative_pc=${pc#"$prefix"/}
[ "$relative_pc" = lib/pkgconfig/znp_dll.pc ] || fail "znp_dll.pc is installed as $relative_pc, not where the README says"
mkdir -p "$work/readme"
cp "$src/example/host.c" "$work/readme/app.c"
(cd "$work/readme" && env -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH bash -c "${readme_cc//\/opt\/znp/$prefix}") ||
  fail "the README's command failed: $readme_cc"
[ -x "$work/readme/a.out" ] || fail "the README's command made no a.out"
usage=$(cd "$work" && env -u LD_LIBRARY_PATH "$work/readme/a.out" 2>&1) && fail "the README's program ran without arguments"
case $usage in *"usage:"*) ;; *) fail "the README's program does not start: $usage" ;; esac
echo "the README's command built a program that starts: $readme_cc"
echo "(it runs the example till below)"

step "build with pkg-config"
export PKG_CONFIG_PATH=$(dirname "$pc")
[ "$(pkg-config --modversion znp_dll)" = "$version" ] || fail "pkg-config reports $(pkg-config --modversion znp_dll)"
[ "$(pkg-config --variable=program znp_dll)" -ef "$prefix/bin/trv_71" ] || fail "pkg-config names another program"
runpath=$(pkg-config --libs znp_dll | sed -n 's/.*-Wl,-rpath,\([^ ]*\).*/\1/p')
[ -n "$runpath" ] && [ "$runpath" -ef "$libdir" ] ||
  fail "the Libs of znp_dll.pc carry no run path to $libdir: $(pkg-config --libs znp_dll)"
read -r -a flags <<<"$(pkg-config --cflags --libs znp_dll)"
strict=(-Wall -Wextra -pedantic -Werror)
mkdir -p "$work/pc"
cc -std=c99 "${strict[@]}" "$src/example/host.c" "${flags[@]}" -o "$work/pc/host"
cc -std=c99 "${strict[@]}" "$src/tests/install/all_exports.c" "${flags[@]}" -o "$work/pc/all_exports_c"
c++ -std=c++11 "${strict[@]}" "$src/tests/install/all_exports.cpp" "${flags[@]}" -o "$work/pc/all_exports_cxx"
echo "example/host.c and the C and C++ clients built"

step "build with find_package(znp_dll)"
cmake -S "$src/tests/install" -B "$work/cm" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DZNP_EXPECTED_VERSION="$version" \
  -DZNP_HOST_SOURCE="$src/example/host.c" >"$work/cm.log" 2>&1 || { cat "$work/cm.log"; fail "configure failed"; }
cmake --build "$work/cm" >>"$work/cm.log" 2>&1 || { cat "$work/cm.log"; fail "build failed"; }
[ "$(cat "$work/cm/program.txt")" -ef "$prefix/bin/trv_71" ] || fail "znp_dll::trv_71 names another program"
echo "example/host.c and the C and C++ clients built"

step "run the clients of every export"
for exe in "$work/pc/all_exports_c" "$work/pc/all_exports_cxx" "$work/cm/all_exports_c" "$work/cm/all_exports_cxx"; do
  (cd "$work" && env -u LD_LIBRARY_PATH "$exe") || fail "${exe#"$work"/} failed"
done
echo "C and C++ clients passed"

# A POS number no other test process holds (the tests' lock files: the lock
# is ours when the path still names the file we locked); the till's own
# program file is named after it, so no other run's program has its name (a
# starting program ends any running program of the same file name).
pos=""
for n in $(shuf -i 100-999); do
  lock=/tmp/znp-station-$n.lock
  [ -e "$lock" ] || : >"$lock" 2>/dev/null || continue
  exec {lockfd}<"$lock" || continue
  if flock -n "$lockfd" && [ "/proc/$$/fd/$lockfd" -ef "$lock" ]; then pos=$n; break; fi
  exec {lockfd}<&-
  lockfd=""
done
[ -n "$pos" ] || lock=""
[ -n "$pos" ] || fail "no free POS number"
program=$(printf 'trv_71_%03d' "$pos")

# Each build's package metadata names the installed example configuration
# (pkg-config's exampledir, CMake's znp_dll_EXAMPLE_DIR), from which the
# installed helper makes the till.
example_pc=$(pkg-config --variable=exampledir znp_dll)
example_cm=$(cat "$work/cm/example_dir.txt")
for how in pc cm; do
  step "run the example host built with $([ $how = pc ] && echo "the README's pkg-config command" || echo find_package) (POS $pos)"
  till=$work/till-$how
  example=$([ $how = pc ] && echo "$example_pc" || echo "$example_cm")
  [ "$example" -ef "$prefix/share/znp/example" ] || fail "the $how package names the example $example"
  # The till as an operator makes it: the installed helper copies the
  # example configuration and links the till's own program file; the host
  # names the directory, and the library starts that file.
  "$prefix/bin/znp_new_till" "$till" "$pos" >"$work/new-till-$how.out" ||
    { cat "$work/new-till-$how.out"; fail "znp_new_till failed"; }
  [ -f "$till/$program" ] && [ -f "$till/WPAF/znpop_00.wt" ] && [ -d "$till/WOut" ] ||
    fail "znp_new_till made no complete till"
  host=$work/cm/host
  [ $how = pc ] && host=$work/readme/a.out
  if ! (cd "$work" && env -u LD_LIBRARY_PATH "$host" "$till" "$pos" "$till/znp.log") >"$till/host.out" 2>&1; then
    cat "$till/host.out"
    fail "the example host failed"
  fi
  cat "$till/host.out"
  grep -q "client file name : $program" "$till/ZNP_DLL_$pos.LOG" || fail "the library did not start $program"
  # The till's logs, readable by its own account only.
  trace=$(printf 'WOut/CA%03d000.SPO' "$pos")
  for f in "ZNP_DLL_$pos.LOG" znp.POS "$trace"; do
    [ -f "$till/$f" ] || fail "the till wrote no $f"
    [ "$(stat -c %a "$till/$f")" = 600 ] || fail "$f has mode $(stat -c %a "$till/$f"), not 600"
  done
done
echo "installed package: all checks passed"
