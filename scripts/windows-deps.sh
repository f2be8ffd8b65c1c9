#!/usr/bin/env bash
# Cross-builds the third-party libraries of the Windows build from Debian's
# own source packages with MinGW-w64, into a cache folder that outlives the
# build folders:
#   OpenSSL 3 (libssl-3-x64.dll, libcrypto-3-x64.dll), MariaDB Connector/C
#   (libmariadb.dll), libcurl (libcurl-x64.dll): loaded by the service at run
#   time, so only their DLLs ship;
#   PCRE2, libxml2: static, linked into diravid.exe;
#   GoogleTest: static, for the test programs.
# Sources come only from the Debian mirror the machine already uses, through
# a deb-src list and apt state of our own: the machine's apt lists stay as
# they are. Each library is built once per Debian version (a stamp per
# library and version); a second run does nothing and says nothing.
#
# Usage: scripts/windows-deps.sh          builds what is missing
#        scripts/windows-deps.sh --prefix prints the install prefix
# DIRAVID_WINDOWS_CACHE overrides the cache folder (default
# /var/cache/diravid-windows).
set -euo pipefail

CACHE=${DIRAVID_WINDOWS_CACHE:-/var/cache/diravid-windows}
PREFIX=$CACHE/x86_64-w64-mingw32
if [[ ${1:-} == --prefix ]]; then
  echo "$PREFIX"
  exit 0
fi

HOST=x86_64-w64-mingw32
# One build at a time on a shared machine.
LOCK=${DIRAVID_BUILD_LOCK:-/tmp/kdv-build.lock}
JOBS=2
APT_DIR=$CACHE/apt
SRC_DIR=$CACHE/src
STAMPS=$CACHE/stamps
LOG_DIR=$CACHE/logs
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$SRC_DIR" "$STAMPS" "$LOG_DIR" "$PREFIX"

# The libraries are C; the posix flavour of the compiler is the one the
# project's C++ uses, and libgcc is linked statically so that no DLL needs a
# MinGW runtime DLL beside it.
export CC=$HOST-gcc-posix CXX=$HOST-g++-posix AR=$HOST-ar RANLIB=$HOST-ranlib RC=$HOST-windres
export LDFLAGS="-static-libgcc"

# apt with a source list, lists and caches of our own.
APT_OPTS=(
  -o "Dir::Etc::sourcelist=$APT_DIR/sources.list"
  -o "Dir::Etc::sourceparts=-"
  -o "Dir::State::Lists=$APT_DIR/lists"
  -o "Dir::Cache=$APT_DIR/cache"
  -o "Dir::Cache::pkgcache="
  -o "Dir::Cache::srcpkgcache="
  -o "APT::Get::Only-Source=true"
  -o "APT::Sandbox::User=root"
  -q=2
)

# deb-src lines for the Debian mirror the machine's own lists use: every
# enabled "deb" entry of this release's suites (codename, -updates,
# -security), in either list format.
write_source_list() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  {
    cat /etc/apt/sources.list 2>/dev/null || true
    local f
    for f in /etc/apt/sources.list.d/*.list; do [[ -e $f ]] && cat "$f"; done
  } | awk -v cn="$codename" '
      /^[[:space:]]*deb[[:space:]]/ {
        opts = ""; i = 2
        if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
        if ($(i+1) !~ "^" cn "(-|$)") next
        line = "deb-src" opts
        for (; i <= NF; i++) line = line " " $i
        print line
      }'
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -e $f ]] || continue
    awk -v cn="$codename" '
      function flush(   n, s, k, out) {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "") {
          n = split(suites, s, " ")
          for (k = 1; k <= n; k++) {
            if (s[k] !~ "^" cn "(-|$)") continue
            out = "deb-src"
            if (signed != "") out = out " [signed-by=" signed "]"
            print out " " uris " " s[k] " " comps
          }
        }
        types = uris = suites = comps = signed = enabled = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      {
        key = tolower($1); sub(/:$/, "", key)
        val = $0; sub(/^[^:]*:[[:space:]]*/, "", val)
        if (key == "types") types = val
        else if (key == "uris") uris = val
        else if (key == "suites") suites = val
        else if (key == "components") comps = val
        else if (key == "signed-by") signed = val
        else if (key == "enabled") enabled = tolower(val)
      }
      END { flush() }' "$f"
  done
}

# Updates our lists at most once a day: a source version that changed on
# the mirror is then rebuilt at the next run.
update_lists() {
  local list=$APT_DIR/sources.list new
  new=$(write_source_list)
  if [[ -z $new ]]; then
    echo "windows-deps: no Debian mirror found in /etc/apt/sources.list(.d)" >&2
    exit 1
  fi
  if [[ ! -f $list || $(cat "$list") != "$new" ]] || [[ -n $(find "$APT_DIR" -maxdepth 1 -name updated -mtime +0) ]] \
     || [[ ! -f $APT_DIR/updated ]]; then
    printf '%s\n' "$new" >"$list"
    apt-get "${APT_OPTS[@]}" update >"$LOG_DIR/apt-update.log" 2>&1 || {
      cat "$LOG_DIR/apt-update.log" >&2
      exit 1
    }
    touch "$APT_DIR/updated"
    rm -f "$STAMPS"/unavailable-*
  fi
}

# The versions of a source package our lists offer, newest first.
source_versions() {
  local versions=() v i j t
  mapfile -t versions < <(apt-cache "${APT_OPTS[@]}" showsrc "$1" 2>/dev/null |
    awk -v p="$1" '/^Package:/ { ours = ($2 == p) } ours && /^Version:/ { print $2 }' | sort -u)
  for ((i = 1; i < ${#versions[@]}; i++)); do
    for ((j = i; j > 0; j--)); do
      dpkg --compare-versions "${versions[j]}" gt "${versions[j-1]}" || break
      t=${versions[j]}; versions[j]=${versions[j-1]}; versions[j-1]=$t
    done
  done
  for v in "${versions[@]}"; do echo "$v"; done
}

# A version's epoch colon would end up in paths that make cannot take.
source_dir() { echo "$SRC_DIR/$1_${2//:/_}"; }

# Unpacks (and patches) a source package once. A version the mirror lists
# but does not serve (the security suite's sources may lag behind its
# lists) is remembered until the lists are next updated.
fetch_source() {
  local package=$1 version=$2 dir
  dir=$(source_dir "$1" "$2")
  [[ -f $dir/.unpacked ]] && return 0
  [[ -f $STAMPS/unavailable-$package-$version ]] && return 1
  rm -rf "$dir"
  mkdir -p "$dir"
  if ! (cd "$dir" && apt-get "${APT_OPTS[@]}" source "$package=$version") >"$LOG_DIR/$package-source.log" 2>&1; then
    rm -rf "$dir"
    touch "$STAMPS/unavailable-$package-$version"
    return 1
  fi
  # Only the unpacked tree is kept.
  find "$dir" -mindepth 1 -maxdepth 1 -type f -delete
  touch "$dir/.unpacked"
}

# Builds one library from the newest version of its source package that the
# mirror serves, unless that version is built already. The build's output
# goes to a log file, shown only when it fails.
build_library() {
  local name=$1 package=$2 function=$3 version chosen= recipe
  # A changed build recipe or toolchain file builds the library anew.
  recipe=$({ declare -f "$function"; cat "$TOOLCHAIN"; } | sha256sum | cut -c1-12)
  local versions
  mapfile -t versions < <(source_versions "$package")
  if ((${#versions[@]} == 0)); then
    echo "windows-deps: no source package $package on the mirror" >&2
    exit 1
  fi
  for version in "${versions[@]}"; do
    [[ -f $STAMPS/$name-$version-$recipe ]] && return 0
    if fetch_source "$package" "$version"; then
      chosen=$version
      break
    fi
  done
  if [[ -z $chosen ]]; then
    echo "windows-deps: the mirror serves no source of $package (${versions[*]}); see $LOG_DIR/$package-source.log" >&2
    exit 1
  fi
  local tree log=$LOG_DIR/$name.log start=$SECONDS
  tree=$(find "$(source_dir "$package" "$chosen")" -mindepth 1 -maxdepth 1 -type d | head -n1)
  echo "windows-deps: building $name $chosen (Debian source $package) for $HOST"
  # Started apart and waited for, so that set -e holds inside the build
  # (it is switched off in a command tested by if or ||).
  local status=0
  (cd "$tree"; "$function" "$tree") >"$log" 2>&1 &
  wait $! || status=$?
  if ((status != 0)); then
    echo "windows-deps: $name failed; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
  rm -f "$STAMPS/$name"-[0-9]*
  touch "$STAMPS/$name-$chosen-$recipe"
  echo "windows-deps: $name done in $((SECONDS - start)) s"
}

locked() { flock "$LOCK" "$@"; }

build_openssl() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  # Shared, as the service loads libssl-3-x64.dll and libcrypto-3-x64.dll at
  # run time. No engines or modules to load from fixed paths, no tests, no docs.
  ../Configure mingw64 shared no-tests no-engine no-module no-legacy \
    --prefix="$PREFIX" --libdir=lib --openssldir="$PREFIX/ssl" \
    CC="$CC" AR="$AR" RANLIB="$RANLIB" RC="$RC" LDFLAGS="$LDFLAGS"
  locked make -j"$JOBS" build_sw
  make install_sw
}

build_pcre2() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  cmake -S .. -B . -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF -DPCRE2_BUILD_PCRE2_32=OFF \
    -DPCRE2_SUPPORT_JIT=ON -DPCRE2_SUPPORT_UNICODE=ON -DPCRE2_BUILD_PCRE2GREP=OFF \
    -DPCRE2_BUILD_TESTS=OFF
  locked cmake --build . -j"$JOBS"
  cmake --install .
}

build_libxml2() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  # Its CMake build: the autotools build would regenerate its makefiles after
  # Debian's patches. The service parses HTML mail texts held in memory as
  # UTF-8: no iconv, compression, network, programs or Python bindings.
  cmake -S .. -B . -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_LZMA=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
    -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_MODULES=OFF \
    -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_DEBUG=OFF
  locked cmake --build . -j"$JOBS"
  cmake --install .
}

build_mariadb_connector() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  # Only the client library of the server's source; its TLS comes from
  # Windows' own SChannel, so it needs no OpenSSL DLL of its own.
  cmake -S ../libmariadb -B . -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DWITH_SSL=SCHANNEL -DWITH_UNIT_TESTS=OFF \
    -DWITH_EXTERNAL_ZLIB=OFF -DWITH_CURL=OFF -DCLIENT_PLUGIN_DIALOG=STATIC \
    -DCLIENT_PLUGIN_SHA256_PASSWORD=STATIC -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=STATIC \
    -DCLIENT_PLUGIN_CLIENT_ED25519=STATIC -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=STATIC \
    -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=OFF \
    -DCLIENT_PLUGIN_PVIO_NPIPE=STATIC -DCLIENT_PLUGIN_PVIO_SHMEM=STATIC
  locked cmake --build . -j"$JOBS" --target libmariadb
  install -d "$PREFIX/bin" "$PREFIX/lib" "$PREFIX/include/mariadb"
  install -m 0644 libmariadb/libmariadb.dll "$PREFIX/bin/"
  install -m 0644 libmariadb/liblibmariadb.dll.a "$PREFIX/lib/libmariadb.dll.a" 2>/dev/null || true
  install -m 0644 ../libmariadb/include/*.h include/*.h "$PREFIX/include/mariadb/"
  cp -r ../libmariadb/include/mariadb "$PREFIX/include/mariadb/" 2>/dev/null || true
}

build_curl() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  # HTTPS to token endpoints only: the cross-built OpenSSL, no other
  # protocols, no compression, no IDN. Name resolution on Windows' own
  # threads: with pthreads the DLL would need libwinpthread-1.dll beside it.
  ../configure --host="$HOST" --prefix="$PREFIX" --enable-shared --disable-static \
    --with-openssl="$PREFIX" --without-zlib --without-brotli --without-zstd \
    --without-libidn2 --without-libpsl --without-nghttp2 --without-librtmp --without-libssh2 \
    --disable-ldap --disable-ldaps --disable-rtsp --disable-dict --disable-telnet \
    --disable-tftp --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
    --disable-mqtt --disable-smb --disable-ftp --disable-file --disable-manual --disable-docs \
    --disable-pthreads --enable-threaded-resolver \
    LDFLAGS="$LDFLAGS"
  locked make -j"$JOBS" -C lib
  make -C lib install
  make -C include install
}

build_googletest() {
  local out=$1/build-mingw
  rm -rf "$out"; mkdir -p "$out"; cd "$out"
  cmake -S .. -B . -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_GMOCK=ON -DBUILD_SHARED_LIBS=OFF \
    -Dgtest_disable_pthreads=OFF
  locked cmake --build . -j"$JOBS"
  cmake --install .
}

ROOT=$(cd "$(dirname "$0")/.." && pwd)
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
update_lists
build_library openssl openssl build_openssl
build_library pcre2 pcre2 build_pcre2
build_library libxml2 libxml2 build_libxml2
build_library mariadb-connector mariadb build_mariadb_connector
build_library curl curl build_curl
build_library googletest googletest build_googletest
