#!/usr/bin/env bash
# Makes the Debian package from a build tree, unpacks it into WORK (nothing is
# installed on the machine) and uses it as someone else would: the kvx command
# as unpacked, a C and a C++ program through find_package, a C program through
# pkg-config, and a .NET program on Mono. Each says the version set in
# project(), as do the package, the library's file name and its SONAME.
#
#   consume-package.sh BUILD_DIR VERSION WORK_DIR
set -euo pipefail
build=$1 version=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
cmake=${CMAKE:-cmake} cpack=${CPACK:-cpack}
major=${version%%.*}

fail() { echo "FAIL: $*" >&2; exit 1; }
expect() {  # expect WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
  echo "ok: $1: $3"
}

rm -rf "$work"
mkdir -p "$work"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(echo "$work"/package/kvx_*.deb)
[ -f "$deb" ] || fail "no package in $work/package"
expect "package version" "$version" "$(dpkg-deb -f "$deb" Version)"
case ", $(dpkg-deb -f "$deb" Recommends), " in
  *", libusbmuxd6, "*) echo "ok: libusbmuxd6 recommended" ;;
  *) fail "libusbmuxd6 is not recommended" ;;
esac
dpkg-deb -x "$deb" "$work/root"
usr=$work/root/usr

# The library under its full version, found by its SONAME.
lib=$usr/lib/libkvx.so.$version
[ -f "$lib" ] || fail "no $lib"
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
expect "SONAME" "libkvx.so.$major" "$soname"
expect "SONAME link" "libkvx.so.$version" "$(readlink "$usr/lib/$soname")"

# Exports: the C interface and the documented C++ classes (KVX_ and the
# runtime's NPT_ classes they take), and every function kvx.h declares.
exported=$(nm -D --defined-only "$lib" | awk '{ print $3 }')
stray=$(echo "$exported" | c++filt | grep -Ev \
  -e '^kvx_[a-z0-9_]+$' \
  -e '^((typeinfo|typeinfo name|vtable) for |(non-virtual|virtual) thunk to )?(NPT|KVX)_' \
  -e '^operator\+\((NPT_String|char)' || true)
[ -z "$stray" ] || fail "libkvx exports what no header documents:"$'\n'"$stray"
declared=$(sed -n 's/^KVX_API .*[ *]\(kvx_[a-z0-9_]*\)(.*/\1/p' "$usr/include/kvx/kvx.h")
[ -n "$declared" ] || fail "no KVX_API function found in kvx.h"
# A here-string, not a pipe: grep -q leaves at its match, and under pipefail
# the echo still writing the rest would fail on the closed pipe.
for name in $declared; do
  grep -qx "$name" <<<"$exported" || fail "kvx.h declares $name, libkvx does not export it"
done
echo "ok: exports: $(echo "$declared" | wc -w) C functions, nothing undocumented"

# The command finds libkvx relative to itself.
expect "kvx --version" "kvx $version" "$(env -u LD_LIBRARY_PATH "$usr/bin/kvx" --version)"

# find_package: C and C++.
"$cmake" -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$usr" \
  -DKVX_EXPECTED_VERSION="$version" -DKVX_EXPECTED_MAJOR="$major" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the consumer does not configure"; }
"$cmake" --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the consumer does not build"; }
expect "C through find_package" "$version" "$(env -u LD_LIBRARY_PATH "$work/consumer/consumer_c")"
expect "C++ through find_package" "$version" "$(env -u LD_LIBRARY_PATH "$work/consumer/consumer_cxx")"

# pkg-config, straight from where the package was unpacked.
export PKG_CONFIG_PATH=$usr/lib/pkgconfig
expect "pkg-config version" "$version" "$(pkg-config --modversion kvx)"
# shellcheck disable=SC2046  # the flags are words
cc -o "$work/consumer_pc" "$here/consumer/consumer.c" $(pkg-config --cflags --libs kvx)
expect "C through pkg-config" "$version" "$(LD_LIBRARY_PATH=$usr/lib "$work/consumer_pc")"

# .NET on Mono: the assembly from the package, loading libkvx from it.
if command -v mcs >/dev/null && command -v mono >/dev/null; then
  dlls=$usr/lib/cli/kvx
  mcs -nologo -out:"$work/Consumer.exe" -r:"$dlls/KVXWrapper.dll" "$here/consumer/Consumer.cs"
  expect ".NET assembly" "$version.0 True" \
    "$(MONO_PATH=$dlls LD_LIBRARY_PATH=$usr/lib mono "$work/Consumer.exe")"
else
  echo "skipped: .NET (no mcs or mono)"
fi
