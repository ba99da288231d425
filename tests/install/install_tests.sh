#!/usr/bin/env bash
# rawcrypt as installed: the tree `cmake --install` puts under a DESTDIR, a
# project that finds it with find_package(rawcrypt) and runs it, the man page
# and the bash completion of the installed tool, and the tool's .deb.
# usage: install_tests.sh tree|consumer|manpage|completion|package
# with CMAKE, SOURCE, BUILD, LIBDIR, CC, TOOLCHAIN, EMULATOR, OPENSSL_ROOT_DIR
# and OPENSSL_USE_STATIC_LIBS in the environment (tests/CMakeLists.txt).
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/checks.sh"
check() { if [ "$2" = "$3" ]; then good; else bad "$1: got '$2', wanted '$3'"; fi; }
# no_build_paths DIR: no file under DIR names the source or the build tree
no_build_paths() {
  local found
  found=$(grep -rlaF -e "$SOURCE/" -e "$BUILD/" "$1")
  check "files naming the source or build tree" "$found" ""
}

# The build tree's install manifests (cmake --install's, cpack's of each
# component) are left as they were.
mkdir manifests && cp -p "$BUILD"/install_manifest*.txt manifests/ 2>/dev/null
restore_manifests() {
  rm -f "$BUILD"/install_manifest*.txt
  cp -p "$work"/manifests/* "$BUILD"/ 2>/dev/null
  rm -rf "$work"
}
trap restore_manifests EXIT

root=$work/dest/usr/local
DESTDIR=$work/dest "$CMAKE" --install "$BUILD" --prefix /usr/local >install.log 2>&1 || { cat install.log; exit 1; }
tool=$root/bin/rawcrypt

tree() {
  local want=(include/rawcrypt/encrypt.h "$LIBDIR"/cmake/rawcrypt/rawcryptConfig.cmake
              "$LIBDIR"/cmake/rawcrypt/rawcryptConfigVersion.cmake "$LIBDIR"/rawcrypt/rawcrypt.o
              share/doc/rawcrypt/console-lines.md)
  [ -z "$TOOLCHAIN" ] && want+=(bin/rawcrypt share/bash-completion/completions/rawcrypt share/man/man1/rawcrypt.1)
  check "installed tree" "$(cd "$work/dest" && find . ! -type d | sort)" \
        "$(printf './usr/local/%s\n' "${want[@]}" | sort)"
  cmp -s "$BUILD/rawcrypt.o" "$root/$LIBDIR/rawcrypt/rawcrypt.o" && good || bad "the installed object differs"
  no_build_paths "$work/dest"
}

# consumer: the project in consumer/ built against the installed package as
# it stands, asking for version 1.1 or for none, then against copies whose
# record says another libcrypto series or another processor, which it must
# refuse at configure time.
consumer() {
  local config=$root/$LIBDIR/cmake/rawcrypt/rawcryptConfig.cmake
  local built other
  built=$(sed -n 's/^set(rawcrypt_LIBCRYPTO_VERSION "\(.*\)")$/\1/p' "$config")
  local processor='s/^set(_rawcrypt_built_for "\([^"]*\)" "[^"]*"/set(_rawcrypt_built_for "\1" "sparc"/'
  local cases=(
    "as installed|1.1||0|signed and verified from C"
    "as installed, no version asked|||0|signed and verified from C"
    "another processor|1.1|$processor|1|version: 1.1 (built for"
    "another processor, no version asked||$processor|1|version: 1.1 (built for"
  )
  for other in 1.0.2s 1.1.1w 3.0.0; do  # each series but the object's
    [ "${other%.*}" = "${built%.*}" ] || [ "${other%%.*}${built%%.*}" = 33 ] ||
      cases+=("libcrypto $other|1.1|s/^set(rawcrypt_LIBCRYPTO_VERSION .*/set(rawcrypt_LIBCRYPTO_VERSION \"$other\")/|1|was built against libcrypto $other")
  done
  local args=(-DCMAKE_PREFIX_PATH="$work/case/usr/local")
  if [ -n "$TOOLCHAIN" ]; then args+=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"); else args+=(-DCMAKE_C_COMPILER="$CC"); fi
  [ -n "$OPENSSL_ROOT_DIR" ] && args+=(-DOPENSSL_ROOT_DIR="$OPENSSL_ROOT_DIR")
  [ -n "$OPENSSL_USE_STATIC_LIBS" ] && args+=(-DOPENSSL_USE_STATIC_LIBS="$OPENSSL_USE_STATIC_LIBS")
  local row name version edit rc text got
  for row in "${cases[@]}"; do
    IFS='|' read -r name version edit rc text <<<"$row"
    rm -rf case build && cp -a dest case
    [ -n "$edit" ] && sed -i "$edit" "$work"/case/usr/local/"$LIBDIR"/cmake/rawcrypt/rawcryptConfig*.cmake
    { "$CMAKE" -S "$here/consumer" -B build "${args[@]}" -DWANTED="$version" && "$CMAKE" --build build &&
      ${EMULATOR:-} build/consumer; } >out.txt 2>&1
    got=$?
    check "$name: exit" "$([ "$got" -eq 0 ] && echo 0 || echo 1)" "$rc"
    # CMake wraps its messages
    tr -s ' \n' '  ' <out.txt | grep -qF -- "$text" && good || bad "$name: no '$text' in: $(cat out.txt)"
  done
}

# manpage: every line of `rawcrypt --help` and of each `rawcrypt COMMAND
# --help` is in the page as man renders it (without hyphenation; compared
# with whitespace squeezed, case and colons aside, since a heading drops its
# colon and is upper case), every command has its part, and the page renders
# without a warning.
manpage() {
  command -v man >/dev/null || { echo "man is not installed: skipped"; exit 77; }
  local page=$root/share/man/man1/rawcrypt.1 commands command line text
  flat() { tr -s ' \n' '  ' | tr -d ':' | tr '[:upper:]' '[:lower:]'; }
  text=$(MANROFFOPT=-rHY=0 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | flat)
  commands=$("$tool" --help | sed -n 's/^  \([a-z][a-z0-9-]*\) .*/\1/p')
  [ -n "$commands" ] && good || bad "no commands in rawcrypt --help"
  for command in "" $commands; do
    [ -z "$command" ] || grep -qxF ".SS ${command//-/\\-}" "$page" && good || bad "no part for $command"
    while IFS= read -r line; do
      line=$(printf '%s' "${line#usage: }" | flat)
      line=${line# }
      [ -z "$line" ] && continue
      [[ $text == *"$line"* ]] && good || bad "rawcrypt $command --help: '$line' is not in the page"
    done < <("$tool" $command --help)
  done
  MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>warnings.txt
  check "man --warnings" "$(cat warnings.txt)" ""
}

# completion: what the installed completion offers for the last word (the
# tool on PATH, or under ~), with bash splitting --opt=value at the '=' and
# `set -u` on; "(-o filenames)" when it asks bash to treat the words as files.
# tokens' help names --key in a note only, followed by a word that is no value.
completion() {
  mkdir -p home/bin files && ln -s "$tool" home/bin/rawcrypt && cd files && touch msg.sig "my file.sig"
  local cases=(
    "rawcrypt ver|verify"
    "rawcrypt --vers|--version"
    "rawcrypt sign --fo|--format"
    "rawcrypt sign --format b|base64"
    "rawcrypt sign --format=|base64,hex,raw"
    "rawcrypt sign --format=b|base64"
    "rawcrypt sign --key=m|(-o filenames)msg.sig,my file.sig"
    "rawcrypt convert sig|sig-to-der"
    "rawcrypt verify --sig msg.|(-o filenames)msg.sig"
    "rawcrypt verify --sig my|(-o filenames)my file.sig"
    "rawcrypt encrypt --key-hex |"
    "rawcrypt encrypt --pad |--in,--iv,--iv-hex,--key,--key-hex,--out,--pad"
    "rawcrypt tokens --key |--uri"
    "~/bin/rawcrypt sign --fo|--format"
  )
  local row words want got line
  for row in "${cases[@]}"; do
    IFS='|' read -r words want <<<"$row"
    read -ra line <<<"${words//=/ = }"
    [[ $words == *' ' ]] && line+=("")
    got=$(LC_ALL=C HOME=$work/home PATH=$root/bin:$PATH bash -uc '
      opts=
      compopt() { opts+="($*)"; }
      source "$1"; shift
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _rawcrypt
      echo "$opts$(printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd , -)"' _ "$root/share/bash-completion/completions/rawcrypt" "${line[@]}" 2>&1)
    check "$words<TAB>" "$got" "$want"
  done
}

# package: the .deb of the host tool holds the tool and its documents (not
# the module), depends on the libcrypto it links, and lintian finds no error.
package() {
  command -v dpkg-shlibdeps >/dev/null && command -v lintian >/dev/null ||
    { echo "dpkg-shlibdeps (dpkg-dev) or lintian is not installed: skipped"; exit 77; }
  env -u SOURCE_DATE_EPOCH cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$work/deb" >cpack.log 2>&1 || { cat cpack.log; exit 1; }
  local deb
  deb=$(ls "$work"/deb/rawcrypt_*.deb)
  # packed again a second later (new copies, new times), byte for byte the same
  sleep 1 && env -u SOURCE_DATE_EPOCH cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$work/again" >cpack.log 2>&1
  cmp -s "$deb" "$work"/again/rawcrypt_*.deb && good || bad "the package packed again differs: $(cat cpack.log)"
  check "package contents" "$(dpkg-deb -c "$deb" | awk '!/\/$/ { print $6 }' | sort | tr '\n' ' ')" \
    "./usr/bin/rawcrypt ./usr/share/bash-completion/completions/rawcrypt ./usr/share/doc/rawcrypt/changelog.gz \
./usr/share/doc/rawcrypt/copyright ./usr/share/lintian/overrides/rawcrypt ./usr/share/man/man1/rawcrypt.1.gz "
  dpkg-deb -f "$deb" Depends | grep -q 'libssl3' && good || bad "no libssl3 in Depends: $(dpkg-deb -f "$deb" Depends)"
  if ldd "$tool" | grep -q libp11-kit; then
    dpkg-deb -f "$deb" Depends | grep -Eq '(^|, )p11-kit(,|$)' && good || bad "no p11-kit in Depends"
  fi
  dpkg-deb -x "$deb" unpacked && no_build_paths unpacked
  lintian --fail-on error "$deb" 2>&1 | grep -v 'root privileges' >lintian.txt
  check "lintian" "${PIPESTATUS[0]}: $(cat lintian.txt)" "0: "
}

"$1"
echo "$1: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
