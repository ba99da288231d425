#!/usr/bin/env bash
# The rawcrypt tool as its users drive it: round trips of every command,
# interoperability with the openssl command and coreutils both ways, and the
# errors: their exit codes, their messages, and no output file left behind.
# usage: cli_tests.sh PATH_TO_RAWCRYPT roundtrips|interop|errors|hostile
#        cli_tests.sh PATH_TO_RAWCRYPT pkcs11 ODD_MODULE PKCS11_BENCH
set -u
# A sanitizer's report is no exit code that a case expects.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=99 UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=99
R=$(realpath "$1")
section=$2
. "$(dirname "$0")/../support/checks.sh"
# expect RC TEXT -- COMMAND...: exit code RC and TEXT in stderr (or stdout).
expect() {
  local rc=$1 text=$2
  shift 3
  "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" -ne "$rc" ]; then
    bad "'$*' exited $got, wanted $rc: $(cat err.txt)"
  elif [ -n "$text" ] && ! grep -qF -- "$text" err.txt out.txt; then
    bad "'$*' did not say '$text': $(cat err.txt out.txt)"
  else
    good
  fi
}
same() { if cmp -s "$1" "$2"; then good; else bad "$3: $1 and $2 differ"; fi; }
# no_file NAME: neither NAME nor a temporary file beside it is left.
no_file() {
  if [ -e "$1" ] || ls -A "$(dirname "$1")" 2>/dev/null | grep -q '\.tmp-'; then bad "$1 (or a temporary) was left"; else good; fi
}
random_file() { head -c "$2" /dev/urandom >"$1"; }

roundtrips() {
  expect 0 "" -- "$R" keygen --out k
  [ "$(stat -c %a k.key)" = 600 ] && good || bad "private key mode $(stat -c %a k.key)"
  expect 0 "" -- "$R" pubkey --key k.key --out p
  same k.x p.x "pubkey x"
  same k.y p.y "pubkey y"
  expect 0 "" -- "$R" keygen --out kr --format raw
  [ "$(stat -c %s kr.key)" = 32 ] && good || bad "raw key size"
  random_file msg 1000
  for format in hex base64 raw; do
    expect 0 "" -- "$R" sign --key kr.key --in msg --out sig.$format --format $format
    expect 0 "valid" -- "$R" verify --pub kr --sig sig.$format --in msg
    expect 0 "valid" -- "$R" verify --pub kr --sig sig.$format --in msg --format $format
  done
  "$R" sign --key k.key <msg >sig.stdin && good || bad "sign from stdin"
  expect 0 "valid" -- "$R" verify --x k.x --y k.y --sig sig.stdin --in - <msg
  printf 'x' >>msg
  expect 1 "invalid" -- "$R" verify --pub kr --sig sig.hex --in msg

  for size in 0 16 4096 1048576; do
    random_file plain "$size"
    expect 0 "" -- "$R" encrypt --key-hex "$(printf '%064x' 7)" --iv-hex "$(printf '%032x' 9)" --in plain --out ct
    expect 0 "" -- "$R" decrypt --key-hex "$(printf '%064x' 7)" --iv-hex "$(printf '%032x' 9)" --in ct --out back
    same plain back "AES round trip of $size bytes"
  done
  random_file aes.key 32
  random_file aes.iv 16
  for size in 0 1 15 16 17 100000; do
    random_file plain "$size"
    expect 0 "" -- "$R" encrypt --key aes.key --iv aes.iv --pad --in plain --out ct
    expect 0 "" -- "$R" decrypt --key aes.key --iv aes.iv --pad --in ct --out back
    same plain back "padded AES round trip of $size bytes"
  done

  random_file any 1000
  # Each alphabet's text against coreutils' standard text, translated to it.
  local standard='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'
  for alphabet in "$standard" "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"; do
    expect 0 "" -- "$R" base64 encode --alphabet "$alphabet" --in any --out any.txt
    { base64 -w0 any | tr "$standard" "${alphabet//-/\\055}"; echo; } >want.txt
    same any.txt want.txt "Base64 in the alphabet $alphabet"
  done
  expect 0 "" -- "$R" base64 encode --in any --out any.txt
  expect 0 "" -- "$R" base64 decode --in any.txt --out any.back
  same any any.back "Base64 round trip"

  expect 0 "" -- "$R" convert key-to-pem --key k.key --out k.pem
  [ "$(stat -c %a k.pem)" = 600 ] && good || bad "PEM key mode"
  expect 0 "" -- "$R" convert pem-to-key --in k.pem --out k2.key
  same k.key k2.key "PKCS#8 round trip"
  expect 0 "" -- "$R" convert key-to-pem --key k.key --sec1 --out k1.pem
  grep -q "BEGIN EC PRIVATE KEY" k1.pem && good || bad "SEC1 PEM"
  expect 0 "" -- "$R" convert pem-to-key --in k1.pem --out k3.key
  same k.key k3.key "SEC1 round trip"
  expect 0 "" -- "$R" convert pub-to-pem --pub k --out pub.pem
  expect 0 "" -- "$R" convert pem-to-pub --in pub.pem --out q
  same k.x q.x "SPKI round trip x"
  same k.y q.y "SPKI round trip y"
  expect 0 "" -- "$R" convert sig-to-der --sig sig.base64 --out sig.der
  expect 0 "" -- "$R" convert der-to-sig --in sig.der --out sig.back --format base64
  same sig.base64 sig.back "DER round trip"
  expect 0 "firmware image" -- "$R" demo
}

interop() {
  random_file msg 5000
  # ours -> openssl
  "$R" keygen --out k >/dev/null
  "$R" sign --key k.key --in msg --out sig.hex
  "$R" convert sig-to-der --sig sig.hex --out sig.der
  "$R" convert pub-to-pem --pub k --out pub.pem
  expect 0 "Verified OK" -- openssl dgst -sha256 -verify pub.pem -signature sig.der msg
  # openssl -> ours
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out o.pem 2>/dev/null
  openssl pkey -in o.pem -pubout -out o.pub.pem 2>/dev/null
  openssl dgst -sha256 -sign o.pem -out o.der msg
  "$R" convert pem-to-pub --in o.pub.pem --out o
  "$R" convert der-to-sig --in o.der --out o.sig --format base64
  expect 0 "valid" -- "$R" verify --pub o --sig o.sig --in msg
  "$R" convert pem-to-key --in o.pem --out o.key
  "$R" sign --key o.key --in msg --out o2.sig
  "$R" convert sig-to-der --sig o2.sig --out o2.der
  expect 0 "Verified OK" -- openssl dgst -sha256 -verify o.pub.pem -signature o2.der msg

  local key iv key24
  key=$(openssl rand -hex 32)
  iv=$(openssl rand -hex 16)
  key24=$(openssl rand -hex 24)
  random_file plain 4096
  openssl enc -aes-256-cbc -nopad -K "$key" -iv "$iv" -in plain -out ct.ossl
  "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in plain --out ct.ours
  same ct.ossl ct.ours "AES-256-CBC against openssl enc"
  random_file plain 1001
  openssl enc -aes-256-cbc -K "$key" -iv "$iv" -in plain -out ct.ossl
  "$R" encrypt --key-hex "$key" --iv-hex "$iv" --pad --in plain --out ct.ours
  same ct.ossl ct.ours "padded AES-256-CBC against openssl enc"
  expect 0 "" -- "$R" decrypt --key-hex "$key" --iv-hex "$iv" --pad --in ct.ossl --out back
  same plain back "openssl enc ciphertext decrypted"
  random_file plain 4096
  openssl enc -des-ede3 -nopad -K "$key24" -in plain -out d.ossl 2>/dev/null
  expect 0 "" -- "$R" des3-decrypt --key-hex "$key24" --in d.ossl --out d.back
  same plain d.back "triple-DES from openssl enc"
  random_file plain 1001
  openssl enc -des-ede3 -K "$key24" -in plain -out d.ossl 2>/dev/null
  expect 0 "" -- "$R" des3-decrypt --key-hex "$key24" --pad --in d.ossl --out d.back
  same plain d.back "padded triple-DES from openssl enc"

  random_file any 3001
  base64 -w0 any >std.txt
  "$R" base64 encode --in any --out ours.txt
  printf '\n' >>std.txt
  same std.txt ours.txt "Base64 against coreutils"
  basenc --base64url -w0 any >url.txt
  printf '\n' >>url.txt
  "$R" base64 encode --alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_" --in any --out ours.txt
  same url.txt ours.txt "Base64url alphabet against coreutils"
}

errors() {
  expect 1 "cannot read nope.key" -- "$R" sign --key nope.key --in /dev/null --out s
  no_file s
  printf '%062x' 1 >short.key
  expect 1 "must be 32 bytes, found 31" -- "$R" sign --key short.key --in /dev/null --out s
  no_file s
  printf 'zz%062x' 1 >badhex.key
  expect 1 "private key (badhex.key) is not hex: not a hex digit at byte 1" -- "$R" pubkey --key badhex.key
  expect 1 "iv must be 16 bytes, found 15" -- "$R" encrypt --key-hex "$(printf '%064x' 1)" --iv-hex "$(printf '%030x' 1)" --in /dev/null --out c
  no_file c
  expect 1 "AES-256 key must be 32 bytes, found 24" -- "$R" encrypt --key-hex "$(printf '%048x' 1)" --iv-hex "$(printf '%032x' 1)" --in /dev/null
  random_file plain 20
  expect 1 "not a whole number of 16-byte blocks" -- "$R" encrypt --key-hex "$(printf '%064x' 1)" --iv-hex "$(printf '%032x' 1)" --in plain --out c
  no_file c
  "$R" encrypt --key-hex "$(printf '%064x' 1)" --iv-hex "$(printf '%032x' 1)" --pad --in plain --out c
  expect 1 "bad padding" -- "$R" decrypt --key-hex "$(printf '%064x' 2)" --iv-hex "$(printf '%032x' 1)" --pad --in c --out p
  no_file p
  expect 1 "not a whole number of 8-byte blocks" -- "$R" des3-decrypt --key-hex "$(printf '%048x' 1)" --in plain --out d
  no_file d
  printf 'YQ=' >bad.txt
  expect 1 'refused as the device refuses it (not base64 encoded): "YQ=", 3 characters' -- "$R" base64 decode --in bad.txt --out b
  no_file b
  printf 'YWJjY===' >lone.txt
  expect 1 'one lone character after the last group): "YWJjY===", 8 characters' -- "$R" base64 decode --in lone.txt --out b
  no_file b
  expect 2 "--alphabet must have 64 characters, found 3" -- "$R" base64 encode --alphabet abc --in plain
  expect 2 "unknown option --frobnicate" -- "$R" sign --frobnicate
  expect 2 "unknown command" -- "$R" frobnicate
  "$R" keygen --out k >/dev/null
  printf '%064x' 5 >off.y
  random_file sig 64
  expect 1 "invalid" -- "$R" verify --x k.x --y off.y --sig sig --in /dev/null
  expect 1 "set key failed" -- "$R" verify --x k.x --y off.y --sig sig --in /dev/null
  head -c 10 sig >short.sig
  expect 2 "signature (short.sig) must be 64 bytes, found 10" -- "$R" verify --pub k --sig short.sig --in /dev/null --format raw
  expect 1 "cannot write" -- "$R" keygen --out no/such/dir/k
  no_file no/such/dir/k.key
  expect 0 "usage: rawcrypt sign" -- "$R" sign --help
}

# The tool under hostile conditions: each case fails when its fault is put back.
hostile() {
  local key="$(printf '%064x' 7)" iv="$(printf '%032x' 9)"
  random_file plain 4096
  enc() { "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in plain "$@"; }
  enc --out want.ct || bad "encrypt"

  # A symlink keeps being one; its target gets the output.
  printf 'old' >target.ct && ln -s target.ct link.ct
  expect 0 "" -- enc --out link.ct
  { [ -L link.ct ] && cmp -s target.ct want.ct; } && good || bad "symlink replaced or its target left old"
  # A dangling symlink: the file is made where it points.
  ln -s made.ct dangling.ct
  expect 0 "" -- enc --out dangling.ct
  { [ -L dangling.ct ] && cmp -s made.ct want.ct; } && good || bad "dangling symlink"
  # A character device is written, not replaced.
  expect 0 "" -- enc --out /dev/null
  [ -c /dev/null ] && good || bad "/dev/null is no longer a device"
  # A FIFO is written to its reader.
  mkfifo fifo.ct
  cat fifo.ct >from_fifo.ct &
  expect 0 "" -- enc --out fifo.ct
  wait
  { [ -p fifo.ct ] && cmp -s from_fifo.ct want.ct; } && good || bad "FIFO replaced or not written"
  # A process substitution (/dev/fd/N).
  expect 0 "" -- enc --out >(cat >from_fd.ct)
  sleep 0.2
  cmp -s from_fd.ct want.ct && good || bad "--out >(cmd)"
  # An existing file keeps its mode; a private key is 0600 whatever existed.
  printf 'old' >kept.ct && chmod 0640 kept.ct
  expect 0 "" -- enc --out kept.ct
  [ "$(stat -c %a kept.ct)" = 640 ] && good || bad "mode of an existing output became $(stat -c %a kept.ct)"
  printf '%064x' 1 >open.key && chmod 0644 open.key
  expect 0 "" -- "$R" convert pem-to-key --in <("$R" convert key-to-pem --key open.key) --out open.key
  [ "$(stat -c %a open.key)" = 600 ] && good || bad "private key written with mode $(stat -c %a open.key)"
  # A key is not overwritten without --force.
  "$R" keygen --out fixed >/dev/null
  cp fixed.key fixed.before
  expect 1 "fixed.key exists" -- "$R" keygen --out fixed
  same fixed.key fixed.before "keygen replaced a key without --force"
  expect 0 "" -- "$R" keygen --out fixed --force

  # A trailing slash names a folder: no file of that name is written or replaced.
  printf 'old' >notes && mkdir keys
  for words in "sign --key fixed.key --in /dev/null --out notes/" "keygen --out keys/"; do
    "$R" $words 2>err.txt; [ $? -ne 0 ] && [ "$(cat notes)" = old ] && [ -z "$(ls -A keys)" ] && good || bad "$words: $(cat err.txt)"
  done

  # Closed standard output is an error, not a lost signature.
  random_file msg 100
  "$R" sign --key fixed.key --in msg >&- 2>err.txt
  [ $? -eq 1 ] && grep -q "standard output is closed" err.txt && good || bad "sign with stdout closed: $(cat err.txt)"
  # Two inputs from one standard input.
  expect 2 "standard input can be only one input" -- "$R" sign --key - <fixed.key
  # A bad key file's error names the file and the place, never a byte of it.
  { printf '\xec'; printf '%063x' 1; } >secret.key
  "$R" sign --key secret.key --in msg 2>err.txt >/dev/null
  if grep -q $'\xec' err.txt || ! grep -q "secret.key" err.txt; then bad "key error text: $(cat err.txt)"; else good; fi
  # A file name forges no line of its own: its control characters are escaped.
  expect 1 'cannot read bad\x0arawcrypt: all good: No such' -- "$R" sign --key $'bad\nrawcrypt: all good' --in msg
  # A refused Base64 text is shown by a prefix and its length.
  head -c 1000000 /dev/zero | tr '\0' 'A' >long.txt && printf '!!!!' >>long.txt
  "$R" base64 decode --in long.txt --out long.bin 2>err.txt
  [ "$(wc -c <err.txt)" -lt 300 ] && grep -q "1000004 characters" err.txt && good || bad "Base64 refusal echoed $(wc -c <err.txt) bytes"
  no_file long.bin

  # Every key format the tool writes, it reads.
  for format in hex base64 raw; do
    expect 0 "" -- "$R" keygen --out f-$format --format $format
    expect 0 "" -- "$R" sign --key f-$format.key --in msg --out f-$format.sig
    expect 0 "valid" -- "$R" verify --pub f-$format --sig f-$format.sig --in msg
    expect 0 "" -- "$R" convert key-to-pem --key f-$format.key --out f-$format.pem
    expect 0 "" -- "$R" convert pem-to-key --in f-$format.pem --format $format --out f-$format.back
    expect 0 "" -- "$R" sign --key f-$format.back --in msg --out /dev/null
  done

  # Exit codes, options and conflicts.
  expect 2 "cannot read nope.sig" -- "$R" verify --pub fixed --sig nope.sig --in msg
  expect 2 "cannot read nope.x" -- "$R" verify --pub nope --sig f-hex.sig --in msg
  expect 1 "invalid" -- "$R" verify --pub fixed --sig f-hex.sig --in msg
  expect 0 "valid" -- "$R" verify --pub=f-hex --sig=f-hex.sig --in=msg
  expect 2 "--in is given more than once" -- "$R" sign --key fixed.key --in msg --in msg
  expect 2 "--pub and --x exclude each other" -- "$R" verify --pub fixed --x fixed.x --sig f-hex.sig
  expect 2 "--key and --key-hex exclude each other" -- "$R" encrypt --key fixed.key --key-hex "$key" --iv-hex "$iv"
  expect 0 "rawcrypt" -- "$R" --version
  expect 0 "exactly 1" -- "$R" verify -h

  # Interrupted: the old output stays, and no temporary file is left.
  printf 'old' >slow.ct
  mkfifo slow.in
  for sig in INT TERM HUP; do  # (a background job ignores SIGINT unless told)
    (trap - INT; exec "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in slow.in --out slow.ct) &
    local pid=$!
    exec 7>slow.in
    head -c 4000000 /dev/zero >&7
    kill -$sig $pid
    exec 7>&-
    wait $pid 2>/dev/null
    [ "$(head -c 8 slow.ct)" = old ] && good || bad "SIG$sig: the old output was lost"
  done
  [ -z "$(ls -A | grep -E '\.tmp-')" ] && good || bad "a temporary output was left: $(ls -a | grep tmp)"
  # A signal ignored at start (nohup) stays ignored; a key given by
  # --key-hex has left the process list once the tool reads.
  # No core file can hold the key.
  (trap '' HUP; ulimit -c unlimited 2>/dev/null; exec "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in slow.in --out nohup.ct) &
  pid=$!
  exec 7>slow.in
  grep -qaF "$key" /proc/$pid/cmdline && bad "--key-hex readable in /proc/$pid/cmdline" || good
  grep -q "^Max core file size *0 " /proc/$pid/limits && good || bad "core files allowed: $(grep core /proc/$pid/limits)"
  kill -HUP $pid
  cat plain >&7
  exec 7>&-
  wait $pid && cmp -s nohup.ct want.ct && good || bad "SIGHUP ignored at start killed the tool"

  # keygen --force replaces its three files together, or keeps the old set.
  "$R" keygen --out set >/dev/null && cat set.key set.x set.y >set.before
  chattr +i set.y && { expect 1 "cannot write set.y" -- "$R" keygen --out set --force; chattr -i set.y; } || echo "SKIP: chattr"
  same <(cat set.key set.x set.y) set.before "keygen --force failing on .y"
  whole() { "$R" pubkey --key "$1.key" | cmp -s - <(printf 'x %s\ny %s\n' "$(cat "$1.x")" "$(cat "$1.y")"); }
  # Keygens at once take turns (one held in its renames while another runs):
  # without --force one writes, with it the last set stands whole; a .key
  # made meanwhile is not replaced. A signal, a failed link or failed
  # renames in the middle leave a whole set, and old halves that cannot be
  # put back are named.
  if strace -o /dev/null true 2>/dev/null; then
    local renames=rename,renameat,renameat2 n
    traced() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -o /dev/null "$@"; }  # no LeakSanitizer under ptrace
    held() {  # held N COMMAND...: in the background, its renames from the Nth held 1 s, once its temporaries are named
      traced -e trace=$renames -e inject=$renames:delay_enter=1000000:when="$1" "${@:2}" >/dev/null 2>&1 &
      for _ in $(seq 500); do ls -A | grep -q '^\.rawcrypt\.tmp-' && break; sleep 0.01; done
    }
    held 1 "$R" keygen --out race; "$R" keygen --out race 2>/dev/null; n=$?; wait $!; n=$n$?
    [ "$n" = 10 ] && whole race && good || bad "two keygens at once without --force exited $n"
    held 2 "$R" keygen --out race --force; "$R" keygen --out race --force; wait $!
    whole race && good || bad "two keygens --force at once left a mixed set"
    rm -f race.* && held 1 "$R" keygen --out race && echo other >race.key && wait $!
    [ $? -eq 1 ] && [ "$(cat race.key)" = other ] && good || bad "keygen replaced a .key made while it ran"
    "$R" keygen --out st >/dev/null
    { traced -e trace=$renames -e inject=$renames:signal=SIGQUIT:when=2 env --default-signal "$R" keygen --out st --force; } 2>/dev/null
    whole st && good || bad "SIGQUIT between the renames of keygen --force"
    traced -e inject=link:error=EIO:when=1 -e inject=linkat:error=EIO:when=4+ "$R" keygen --out st --force
    whole st && good || bad "keygen --force with the old halves' links failing"
    cat st.key st.x st.y >st.before
    traced -e trace=$renames -e inject=$renames:error=EIO:when=3+ "$R" keygen --out st --force 2>err.txt
    cat st.key st.x.old-* st.y.old-* 2>/dev/null | cmp -s - st.before && grep -q "kept beside it as st.x.old-" err.txt &&
      good || bad "old halves that could not be put back: $(cat err.txt)"
    rm -f st.*.old-*
  else
    echo "SKIP: strace"
  fi
  # Two outputs that lead to one file are refused.
  "$R" keygen --out one >/dev/null && rm one.key && ln -s one.x one.key && cp one.x one.before
  expect 1 "one.x and one.key lead to one file" -- "$R" keygen --out one --force
  same one.x one.before "keygen --force over a .key that is a link to its .x"
  # In a folder where nothing can be removed, a failed keygen leaves no content.
  mkdir ap && "$R" keygen --out ap/k >/dev/null
  chattr +a ap && { "$R" keygen --out ap/k --force 2>/dev/null; chattr -a ap; } || echo "SKIP: chattr +a"
  [ -z "$(find ap -name '.rawcrypt.tmp-*' -size +0)" ] && good || bad "temporaries with content in an append-only folder"
  rm -rf ap
  # Only "-" is standard output: closed, it takes no --out file's place.
  "$R" sign --key fixed.key --in msg --out closed.sig >&- && [ -s closed.sig ] && good || bad "sign --out, stdout closed"
  "$R" keygen --out closed >&- && [ -s closed.x ] && good || bad "keygen --out, stdout closed"
  # /dev/fd/N and /dev/stdout, by any name, are written at the descriptor's offset (">>" appends).
  ln -s /dev/stdout to-stdout
  for out in /dev/fd/1 /dev/stdout /proc/thread-self/fd/1 //dev/fd/1 /dev/./stdout /proc/self/../self/fd/1 to-stdout; do
    printf 'head' >appended.ct && enc --out $out >>appended.ct
    same appended.ct <(printf 'head'; cat want.ct) "--out $out >>file"
  done
  # A descriptor not open when the tool started is refused, under any name.
  for row in 'enc --out //dev/fd/1 >&-' '"$R" encrypt --key-hex "$key" --iv-hex "$iv" --in /dev/null --out /dev/fd/3 3>&-' \
             '"$R" sign --key fixed.key --in /dev/stdin --out stdin.sig <&-'; do
    eval "$row" 2>/dev/null; [ $? -eq 1 ] && good || bad "$row"
  done
  # Another process's descriptor of a file is refused ("gone.ct (deleted)" is no name).
  exec 8>gone.ct && rm gone.ct
  expect 1 "an open file of another process" -- enc --out /proc/$BASHPID/fd/8
  exec 8>&-
  # Held inputs start at the descriptor's offset (a header read by the caller).
  { printf 'HEADER\n'; cat msg; } >headed.msg
  { read -r _; "$R" sign --key fixed.key --out headed.sig; } <headed.msg
  expect 0 "valid" -- "$R" verify --pub fixed --sig headed.sig --in msg
  # A mistyped option or a stray word is not echoed: it may be a key.
  for words in "sign --key-hex=$key" "encrypt --iv-hex --key-hex $key" "encrypt --key-hex $key $key" "$key"; do
    "$R" $words >/dev/null 2>err.txt; [ $? -eq 2 ] && ! grep -q "$key" err.txt && good || bad "usage error: $(cat err.txt)"
  done
  # verify without a verdict written, or on a message that shrank, exits 2.
  (sleep 0.2; exec env --default-signal=PIPE "$R" verify --pub fixed --sig f-hex.sig --in msg 2>/dev/null) | true
  [ "${PIPESTATUS[0]}" -eq 2 ] && good || bad "verify into a closed pipe"
  "$R" verify --pub fixed --sig f-hex.sig --in msg >/dev/full 2>/dev/null; [ $? -eq 2 ] && good || bad "verify >/dev/full"
  "$R" verify --pub fixed --sig f-hex.sig --in msg >&- 2>/dev/null; [ $? -eq 2 ] && good || bad "verify >&-"
  truncate -s 256M big.msg
  "$R" verify --pub fixed --sig f-hex.sig --in big.msg >/dev/null 2>err.txt &
  pid=$!
  while kill -0 $pid 2>/dev/null && ! grep -q big.msg /proc/$pid/maps 2>/dev/null; do :; done
  truncate -s 0 big.msg
  wait $pid; [ $? -eq 2 ] && grep -q shrank err.txt && good || bad "verify of a message that shrank: $(cat err.txt)"
  # A legal name of 254 characters (temporaries have names of their own),
  # and a short one in a folder as deep as a path can name.
  expect 0 "" -- enc --out "$(printf '%0251d' 0).ct"
  same "$(printf '%0251d' 0).ct" want.ct "a 254-character output name"
  local deep
  deep=$(printf 'd%099d/' $(seq 40))e$(printf '%039d' 0)
  mkdir -p "$deep" && expect 0 "" -- enc --out "$deep/x.ct"
  rm -rf d0*
  # A pipe is held up to its cap exactly; the cap is told in units that do not round to 0.
  expect 2 "must be 64 bytes, found 4096" -- "$R" verify --pub fixed --sig <(head -c 4096 /dev/zero) --in msg
  expect 2 "larger than the 4 KiB" -- "$R" verify --pub fixed --sig <(head -c 4097 /dev/zero) --in msg
  # Files too, each named once.
  head -c 4097 /dev/zero >zero.sig && truncate -s 1M big.pem
  expect 2 "signature (zero.sig) is larger than the 4 KiB" -- "$R" verify --pub fixed --sig zero.sig --in msg
  expect 1 "the PEM key (big.pem) is larger than the 64 KiB" -- "$R" convert pem-to-pub --in big.pem
  # The console capture does not grow with what a helper prints.
  (ulimit -f 64; exec "$R" base64 decode --in long.txt --out /dev/null) 2>err.txt
  [ $? -eq 1 ] && grep -q "1000004 characters" err.txt && good || bad "a refused text under a file size limit: $(cat err.txt)"

  # Keys come from the host's generator, whatever libcrypto polls (built
  # against 1.0.2, the module's clock): two keygens in one second, with one
  # pid (a pid namespace each) and no address randomisation, differ.
  if unshare -pf setarch -R true 2>/dev/null; then
    for _ in 1 2 3; do
      now=$(date +%s) && for i in 1 2; do unshare -pf setarch -R "$R" keygen --out held$i --force >/dev/null; done
      [ "$(date +%s)" = "$now" ] && break
    done
    cmp -s held1.key held2.key && bad "two keygens with the clock and the pid held made one key" || good
  else echo "SKIP: no pid namespace (root needed)"; fi

  # In a mount namespace of its own (root only): a read-only /tmp, no /proc.
  if ! unshare -m true 2>/dev/null; then echo "SKIP: no mount namespace (root needed)"; return; fi
  local ro_tmp=(unshare -m sh -c 'mount --bind /tmp /tmp && mount -o remount,bind,ro /tmp && exec "$0" "$@"')
  local no_proc=(unshare -m sh -c 'mount -t tmpfs none /proc && exec "$0" "$@"')
  # The console is caught without a writable /tmp.
  expect 0 "" -- "${ro_tmp[@]}" "$R" sign --key fixed.key --in msg --out ro.sig
  if ! "${no_proc[@]}" "$R" --version >/dev/null 2>&1; then echo "SKIP: no run without /proc (sanitizers)"; return; fi
  # Without /proc the temporaries have names, and a signal removes every one
  # of them (keygen held at its third file, a FIFO).
  expect 0 "" -- "${no_proc[@]}" "$R" keygen --out np
  mkfifo held.key
  "${no_proc[@]}" "$R" keygen --out held --force &
  pid=$!
  for _ in $(seq 500); do [ "$(ls -A | grep -c '\.tmp-')" -ge 2 ] && break; sleep 0.01; done
  kill -TERM $pid && wait $pid
  no_file held.x
  # So does any signal that would end the tool, and a file size limit.
  for sig in QUIT USR1 ALRM XCPU; do
    "${no_proc[@]}" env --default-signal "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in slow.in --out sig.ct &
    pid=$!
    exec 7>slow.in
    head -c 1000000 /dev/zero >&7
    kill -$sig $pid
    exec 7>&-
    wait $pid 2>/dev/null
    no_file sig.ct
  done
  random_file big.in 200000
  { (ulimit -f 100; exec "${no_proc[@]}" "$R" encrypt --key-hex "$key" --iv-hex "$iv" --in big.in --out fsize.ct); } 2>/dev/null
  no_file fsize.ct
}

# Keys in a token: a SoftHSM2 token in this test's own folder, pkcs11-tool
# as the independent party; every error is one line, exit 1, no output file
# and no PIN.
pkcs11() {
  local odd=$3 bench=$4 module=/usr/lib/softhsm/libsofthsm2.so pin=s3cret-7431 iv=000102030405060708090a0b0c0d0e0f
  mkdir tokens
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >softhsm2.conf
  export SOFTHSM2_CONF=$work/softhsm2.conf RAWCRYPT_WRAPPED_MODULE=$module
  for label in rel spare; do
    softhsm2-util --init-token --free --label $label --pin $pin --so-pin 5678 >/dev/null || bad "softhsm2-util"
  done
  printf '%s\n' $pin >pin && chmod 600 pin && cp pin open.pin && chmod 640 open.pin
  local T='pkcs11:token=rel' Q='?pin-source=file:pin' P="?pin-value=$pin"
  p11() { pkcs11-tool --module $module --token-label rel --login --pin $pin "$@" 2>/dev/null || bad "pkcs11-tool $*"; }
  random_file msg 3000

  # keygen in the token, sign in every format: ecc_verify and openssl agree.
  expect 0 "" -- "$R" keygen --key "$T;object=fw;id=%ab%01$Q" --out fw
  for format in hex base64 raw; do
    expect 0 "" -- "$R" sign --key "$T;object=fw$Q" --in msg --out sig.$format --format $format
    expect 0 "valid" -- "$R" verify --pub fw --sig sig.$format --in msg
  done
  "$R" convert pub-to-pem --pub fw --out fw.pem && "$R" convert sig-to-der --sig sig.hex --out sig.der
  expect 0 "Verified OK" -- openssl dgst -sha256 -verify fw.pem -signature sig.der msg
  # pubkey (the public object needs no PIN) is keygen's X and Y.
  expect 0 "" -- "$R" pubkey --key "$T;object=fw" --out pub
  same <(cat fw.x fw.y) <(cat pub.x pub.y) "pubkey of the token's key"
  # pkcs11-tool's ECDSA signature verifies; the private key signs only, and never leaves.
  openssl dgst -sha256 -binary msg >digest
  p11 --sign --mechanism ECDSA --id ab01 -i digest -o theirs.sig >/dev/null
  expect 0 "valid" -- "$R" verify --pub fw --sig theirs.sig --in msg --format raw
  p11 -O --type privkey --id ab01 >attrs.txt
  grep -qx '  Usage: *sign' attrs.txt && grep -q 'Access: *sensitive, always sensitive, never extractable' attrs.txt &&
    good || bad "the generated private key: $(cat attrs.txt)"
  pkcs11-tool --module $module --token-label rel --login --pin $pin --set-id 99 --id ab01 --type privkey >/dev/null 2>&1 &&
    bad "the generated private key was changed" || good
  # The listing gives a URI that signs; the module may be chosen by name.
  expect 0 "P-256 key pair" -- "$R" tokens --uri "$T$Q"
  expect 0 "" -- "$R" sign --key "$(awk '/key pair/ {print $NF}' out.txt)" --in msg --out listed.sig
  expect 0 "private keys are listed when the URI gives the PIN" -- "$R" tokens
  expect 0 "names this token alone" -- "$R" tokens --uri "pkcs11:?pin-value=$pin-x"
  expect 0 "" -- "$R" sign --key "$T;object=fw?module-name=libsofthsm2&pin-source=file:pin" --in msg --out named.sig
  expect 2 "the URI has an attribute the tool does not know" -- "$R" sign --key "$T;object=fw;colour=red$Q" --in msg
  expect 2 "keygen --key needs object=NAME" -- "$R" keygen --key "$T$Q"
  for key in "$T;object=$Q" "$T;object=e;id=$Q"; do expect 2 "no URI names a key of an empty one" -- "$R" keygen --key "$key"; done
  # Refused before a token is asked, with no piece of the PIN shown: unknown
  # or repeated attributes, a PIN cut by '&', a pin-value outside --key, a
  # PIN put in pin-source.
  for words in "$T;object=fw?pin_value=$pin" "$T;object=fw?pin-value=${pin%-*}&x=${pin#*-}" "$T;object=fw?module-pth=$module$Q" \
    "$T;object=fw;object=img$Q" "$T;object=fw?pin-value=$pin&pin-value=$pin" "fw.x --in $T;object=fw$P" "$T;object=fw?pin-source=$pin"; do
    "$R" sign --key $words </dev/null >out.txt 2>err.txt
    [ $? -eq 2 ] && ! grep -qF "${pin#*-}" out.txt err.txt && good || bad "sign --key $words: $(cat err.txt)"
  done
  # A URI in capitals, or after a space, is no file name.
  for key in "PKCS11:token=rel;object=fw$Q" " $T;object=fw$Q"; do expect 0 "" -- "$R" sign --key "$key" --in msg --out /dev/null; done

  # AES-256 in the token as pkcs11-tool's: over the 64 KiB pieces and the
  # 768 KiB chunks, padded on the host as AES-CBC-PAD pads. Triple-DES from
  # openssl's (pkcs11-tool has no DES3-ECB).
  p11 --keygen --key-type AES:32 --label img --id 0a >/dev/null
  random_file des.key 24
  p11 --write-object des.key --type secrkey --key-type DES3:24 --label legacy --id 0d >/dev/null
  local size mech pad
  for size in 800000 1001; do
    random_file plain $size
    mech=AES-CBC pad=()
    [ $size = 1001 ] && mech=AES-CBC-PAD pad=(--pad)
    p11 --encrypt --mechanism $mech --iv $iv --id 0a -i plain -o ct.theirs
    expect 0 "" -- "$R" encrypt --key "$T;object=img$Q" --iv-hex $iv "${pad[@]}" --in plain --out ct.ours
    same ct.theirs ct.ours "$mech of $size bytes in the token"
    expect 0 "" -- "$R" decrypt --key "$T;object=img$Q" --iv-hex $iv "${pad[@]}" --in ct.theirs --out back
    same plain back "decrypted in the token ($size bytes)"
  done
  openssl enc -des-ede3 -nopad -K "$(od -An -tx1 des.key | tr -d ' \n')" -in msg -out des.theirs 2>/dev/null
  expect 0 "" -- "$R" des3-decrypt --key "$T;object=legacy$Q" --in des.theirs --out back
  same msg back "triple-DES in the token"

  p11 --keypairgen --key-type EC:prime256v1 --label twin --id 01 >/dev/null
  p11 --keypairgen --key-type EC:prime256v1 --label twin --id 02 >/dev/null
  p11 --keypairgen --key-type EC:secp384r1 --label p384 --id 38 >/dev/null
  p11 --keygen --key-type AES:16 --label small --id 10 >/dev/null
  # Two public keys of one name; a P-384 public key beside a P-256 private
  # key; a private key whose public key object is another key's; a key that
  # asks for the PIN at each use.
  for key in two:21 two:22 mixed:31 odd:41; do p11 --keypairgen --key-type EC:prime256v1 --label ${key%:*} --id ${key#*:} >/dev/null; done
  p11 --keypairgen --key-type EC:secp384r1 --label mixed --id 32 >/dev/null
  p11 --keypairgen --key-type EC:prime256v1 --label always --id 0b --always-auth >/dev/null
  for object in privkey:22 privkey:32 pubkey:31 pubkey:41; do p11 --delete-object --type ${object%:*} --id ${object#*:}; done
  openssl pkey -pubin -in fw.pem -outform DER -out fw.der && p11 --write-object fw.der --type pubkey --label odd --id 41 >/dev/null
  printf 'directories.tokendir = %s\nslots.mechanisms = CKM_AES_CBC,CKM_EC_KEY_PAIR_GEN\n' "$work/tokens" >bare.conf
  local line text env words n
  local cases=(  # what stderr says | environment | the command
    "wrong PIN for token 'rel'||sign --key $T;object=fw?pin-value=$pin-x"
    "the PIN of token 'rel' is locked|RAWCRYPT_ODDITY=locked|sign --key $T;object=fw?module-path=$odd&pin-value=$pin"
    "the PIN for token 'rel' is empty||sign --key $T;object=fw?pin-value="
    "no PIN for token 'rel': give pin-source||sign --key $T;object=fw"
    "no token 'nope'; the modules offer||sign --key pkcs11:token=nope;object=fw?module-path=$module&pin-value=$pin"
    "2 tokens match: name one by token=||sign --key pkcs11:object=fw?module-path=$module&pin-value=$pin"
    "no registered PKCS#11 module is named 'nope'||sign --key $T;object=fw?module-name=nope&pin-value=$pin"
    "token 'rel' has no EC private key 'nope'||sign --key $T;object=nope$P"
    "token 'rel' has no AES key 'fw'||encrypt --iv-hex $iv --key $T;object=fw$P"
    "2 EC private keys 'twin' in token 'rel' match: add id=||sign --key $T;object=twin$P"
    "token 'rel' does not offer CKM_ECDSA|SOFTHSM2_CONF=$work/bare.conf|sign --key $T;object=fw$P"
    "cannot load the PKCS#11 module $work/pin||sign --key $T;object=fw?module-path=$work/pin&pin-value=$pin"
    "key 'p384' in token 'rel' is not a P-256 key||sign --key $T;object=p384$P"
    "key 'small' in token 'rel' is not an AES-256 key||decrypt --iv-hex $iv --key $T;object=small$P"
    "the PIN file open.pin has mode 0640: other users may read it||sign --key $T;object=fw?pin-source=file:open.pin"
    "already holds an object 'fw': keygen never replaces||keygen --key $T;object=fw$P"
    "already holds an object with that id||keygen --key $T;object=new;id=%ab%01$P"
    "the URI's type= names no EC private key||sign --key $T;object=fw;type=public$P"
    "2 EC public keys 'two' in token 'rel' match: add id=||pubkey --key $T;object=two"
    "token 'rel' has no EC public key 'nope'; if only its private key is there||pubkey --key $T;object=nope"
    "does not hold the private key's point|RAWCRYPT_ODDITY=point|pubkey --key $T;object=fw?module-path=$odd&pin-value=$pin"
    "gave a signature of 72 bytes, not the 64|RAWCRYPT_ODDITY=der|sign --key $T;object=fw?module-path=$odd&pin-value=$pin"
    "the signature made with key 'odd' in token 'rel' does not verify||sign --key $T;object=odd$P"
    "got another object 'racy' while the pair was made|RAWCRYPT_ODDITY=race|keygen --key $T;object=racy?module-path=$odd&pin-value=$pin"
  )
  for line in "${cases[@]}"; do
    IFS='|' read -r text env words <<<"$line"
    read -ra words <<<"$words"
    case ${words[0]} in keygen | pubkey) ;; *) words+=(--in msg) ;; esac
    expect 1 "$text" -- env $env "$R" "${words[@]}" --out err.out </dev/null
    no_file err.out
    grep -qF "$pin" out.txt err.txt && bad "the PIN shown by ${words[*]}" || good
  done
  expect 0 "" -- "$R" pubkey --key "$T;object=fw" --out pub
  same <(cat fw.x fw.y) <(cat pub.x pub.y) "keygen refused, the old key kept"
  for key in mixed always; do expect 0 "" -- "$R" sign --key "$T;object=$key$Q" --in msg --out $key.sig; done
  # keygen is all or nothing: a pair whose files cannot be written leaves
  # the token. Files that exist stop it before it asks for the PIN.
  expect 1 "cannot write" -- "$R" keygen --key "$T;object=orph$Q" --out no/such/k
  "$R" keygen --key "$T;object=orph$Q" >/dev/full 2>/dev/null
  expect 1 "has no EC key 'orph'" -- "$R" pubkey --key "$T;object=orph$Q"
  # So does one whose keygen a signal ends (held at its .x, a FIFO).
  mkfifo intr.x && { "$R" keygen --key "$T;object=intr$Q" --out intr --force & }
  for _ in $(seq 20); do "$R" pubkey --key "$T;object=intr" >/dev/null 2>&1 && break; sleep 0.05; done
  kill -TERM $! && wait $!; n=$?
  [ $n = 143 ] && ! "$R" pubkey --key "$T;object=intr$Q" >/dev/null 2>&1 && good || bad "keygen ended by SIGTERM (exit $n) left its pair"
  expect 1 "fw.x exists" -- "$R" keygen --key "$T;object=new" --out fw </dev/null
  # Of two keygens of one name at once, one makes the pair (they take turns).
  for i in 1 2 3 4 5 6; do
    "$R" keygen --key "$T;object=race$i$Q" >/dev/null 2>&1 & "$R" keygen --key "$T;object=race$i$Q" >/dev/null 2>&1
    n=$? && wait $!
    n=$n$?
    [[ $n = 01 || $n = 10 ]] && "$R" pubkey --key "$T;object=race$i$Q" >/dev/null && good || bad "keygens at once: $n"
  done

  # On a terminal the PIN is asked for, and not echoed; the echo is back
  # afterwards, after Ctrl-C too.
  on_tty() {  # on_tty TYPED COMMAND...: TYPED at the PIN prompt of COMMAND run on a terminal
    TYPED=$1 python3 - "${@:2}" <<'PY'
import os, pty, sys, termios
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
seen = b""
while b"PIN for token 'rel': " not in seen:
    seen += os.read(fd, 100)
os.write(fd, os.environ["TYPED"].encode())
try:
    while True:
        seen += os.read(fd, 100)
except OSError:
    pass
echo = "on" if termios.tcgetattr(fd)[3] & termios.ECHO else "off"
print(seen.decode(), "exit", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), "echo", echo)
PY
  }
  on_tty "$pin"$'\n' "$R" sign --key "$T;object=fw" --in msg --out tty.sig >tty.txt
  grep -q "exit 0 echo on" tty.txt && ! grep -q "$pin" tty.txt && good || bad "PIN prompt: $(cat tty.txt)"
  on_tty $'\x03' "$R" sign --key "$T;object=fw" --in msg --out /dev/null >tty.txt
  grep -q "exit -2 echo on" tty.txt && good || bad "Ctrl-C at the PIN prompt: $(cat tty.txt)"
  expect 0 "valid" -- "$R" verify --pub fw --sig tty.sig --in msg
  # A pin-value, in the query or the path, leaves the process list once the
  # tool runs (it waits on a FIFO).
  mkfifo slow.msg
  for key in "$T;object=fw$P" "$T;object=fw;pin-value=$pin"; do
    "$R" sign --key "$key" --in slow.msg --out slow.sig &
    local pid=$!
    timeout 20 bash -c 'exec 7>slow.msg && ! grep -qaF "$1" /proc/$2/cmdline && cat msg >&7' _ "$pin" $pid &&
      good || bad "pin-value readable in /proc/$pid/cmdline (or the tool stopped)"
    wait $pid && good || bad "sign with the message from a FIFO"
  done
  expect 0 "signatures per second" -- "$bench" --quick "$T;object=fw$Q"
  # Labels as the listing shows them: control characters escaped, and one
  # that two tokens share told apart by serial=.
  for label in $'rel\nfake' rel; do softhsm2-util --init-token --free --label "$label" --pin $pin --so-pin 5678 >/dev/null; done
  expect 0 "token 'rel\x0afake'" -- "$R" tokens
  expect 0 "pkcs11:serial=" -- "$R" tokens --uri "$T;object=fw"
}

"$section" "$@"
# no temporary files anywhere
leftovers=$(find . -name '*.tmp-*' | wc -l)
[ "$leftovers" -eq 0 ] && good || bad "$leftovers temporary files left: $(find . -name '*.tmp-*')"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
