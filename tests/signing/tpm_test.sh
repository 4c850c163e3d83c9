#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Keys in a TPM: runs every sh block of that section of docs/signing.md, as
# written and in order, in one shell against a software TPM (swtpm behind the
# resource manager tpm2-abrmd, as a hardware TPM is behind /dev/tpmrm0), and
# checks the limits the section states. Status 77 (skipped) only when swtpm
# cannot run; a missing TPM tool is a failure, since make check installs them.
#   usage: tpm_test.sh TOOLS_DIR SOURCE_DIR
set -eu
tools=$(cd "$1" && pwd)
page=$(cd "$2" && pwd)/docs/signing.md
examples=$(cd "$2" && pwd)/examples
PATH=$tools:$PATH:/usr/sbin:/sbin

command -v swtpm >/dev/null || { echo "SKIPPED: swtpm is not installed (make check installs it)"; exit 77; }
for tool in tpm2_rsadecrypt tpm2_ptool tpm2-abrmd dbus-daemon openssl; do
    command -v $tool >/dev/null || { echo "FAILED: $tool is not installed (the Makefile's CHECK_PACKAGES has it)"; exit 1; }
done

tmp=$(mktemp -d)
step="setting up the software TPM"
pids= # of the daemons this test starts, which it ends on every path
alive() { # PID: the process runs (a zombie has ended)
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}
gone() { # PID: the process has ended, or ends within a second (else it is killed)
    for _ in 1 2 3 4 5 6 7 8 9 10; do alive "$1" || return 0; sleep 0.1; done
    echo "process $1 still ran"
    kill -KILL "$1"
    return 1
}
finish() {
    status=$?
    set +eux
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    for pid in $pids; do gone "$pid" || status=1; done
    if [ $status -ne 0 ] && [ $status -ne 77 ]; then
        echo "FAILED in $step"
        for log in swtpm abrmd; do [ -s "$tmp/$log.log" ] && { echo "--- $log log:"; tail -20 "$tmp/$log.log"; }; done
    fi
    rm -rf "$tmp"
    exit $status
}
trap finish EXIT
trap 'exit 1' INT TERM HUP
mkdir "$tmp/state" "$tmp/home" "$tmp/work" "$tmp/blocks"

# A port of our own: swtpm fails at once on one that is taken.
tries=0
while :; do
    port=$(($(od -An -N2 -tu2 /dev/urandom) % 20000 + 30000))
    swtpm socket --tpm2 --tpmstate dir="$tmp/state" --flags not-need-init,startup-clear \
        --server type=tcp,port=$port,bindaddr=127.0.0.1 --ctrl type=tcp,port=$((port + 1)),bindaddr=127.0.0.1 \
        --pid file="$tmp/swtpm.pid" --log file="$tmp/swtpm.log" --daemon 2>>"$tmp/swtpm.log" && break
    tries=$((tries + 1))
    [ $tries -lt 10 ] || { echo "SKIPPED: swtpm cannot run: $(tail -1 "$tmp/swtpm.log")"; exit 77; }
done
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -s "$tmp/swtpm.pid" ] || sleep 0.1; done
pids=$(cat "$tmp/swtpm.pid")
dbus-daemon --session --address="unix:path=$tmp/bus" --fork --print-pid=3 3>"$tmp/dbus.pid"
pids="$pids $(cat "$tmp/dbus.pid")"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/bus"
tpm2-abrmd --session --allow-root --flush-all --tcti="swtpm:host=127.0.0.1,port=$port" >"$tmp/abrmd.log" 2>&1 &
pids="$pids $!"
export TPM2TOOLS_TCTI=tabrmd:bus_type=session TPM2_PKCS11_TCTI=tabrmd:bus_type=session \
       TPM2OPENSSL_TCTI=tabrmd:bus_type=session HOME="$tmp/home"
tries=0
until tpm2_getrandom 1 >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 50 ] || { echo "tpm2-abrmd does not answer"; exit 1; }
    sleep 0.1
done
cd "$tmp/work"
cp "$examples/input.img" in.img
cp "$examples/code.bin" code.bin
cp "$examples/common_test.key" common.key

# Each sh block of the section into blocks/NN.sh, its ### heading into NN.heading.
awk -v dir="$tmp/blocks" '
    code && /^```/ { code = 0; close(file); next }
    code { print > file; next }
    /^## / { section = ($0 == "## Keys in a TPM"); next }
    !section { next }
    /^### / { heading = substr($0, 5); next }
    /^```sh$/ { code = 1; n++; file = sprintf("%s/%02d.sh", dir, n)
                print heading > sprintf("%s/%02d.heading", dir, n); close(sprintf("%s/%02d.heading", dir, n)) }
' "$page"
[ -e "$tmp/blocks/01.sh" ] || { echo "no sh block under '## Keys in a TPM' in $page"; exit 1; }

refused() { # TEXT COMMAND...: the command must fail, printing TEXT (unless TEXT is empty)
    text=$1
    shift
    if "$@" >"$tmp/out" 2>&1; then echo "not refused: $1"; exit 1; fi
    [ -z "$text" ] || grep -qF "$text" "$tmp/out" || { echo "expected \"$text\" in:"; cat "$tmp/out"; exit 1; }
}
variable() { # NAME: prints the TPM's value of a property
    tpm2_getcap properties-variable | sed -n "s/^ *$1: *//p"
}
signs() { # URI OR HELPER, IMAGE: a signing run that must give keyfile.img
    case $1 in
    pkcs11:*) encrypt_tool in.img "$2" code.bin "$1" common.key ;;
    *) encrypt_tool --signing-helper "$1" in.img "$2" code.bin tpm_pub.pem common.key ;;
    esac
    cmp keyfile.img "$2"
}

checked=
check_limits() {
    checked="$checked limits"
    step="the limits: key sizes"
    for bits in 1017 1020 1023; do
        openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:$bits -out k$bits.pem 2>/dev/null
        key_tool import k$bits.pem k$bits.key >/dev/null
        refused "key fields are not compatible with the selected use" tpm2_import -C primary.ctx -G rsa:null \
            -a 'userwithauth|decrypt' -i k$bits.pem -u k.pub -r k.priv
        refused "key fields are not compatible with the selected use" tpm2_ptool import --label=tpm \
            --key-label=k$bits --userpin=1234 --privkey=k$bits.pem --algorithm=rsa
    done
    refused "made no key pair" key_tool generate --bits 1020 \
        "pkcs11:token=tpm;object=k1020?module-name=tpm2_pkcs11&pin-value=1234"
    tpm2_testparms rsa1024

    step="the limits: the decrypt attribute and the null scheme"
    head -c 128 req.bin >block.bin
    tpm2_rsadecrypt -c 0x81000010 -p file:sign.auth -s null -o good.out block.bin
    cmp -n 128 good.out sigs.bin
    for kind in "rsa:null userwithauth|sign" "rsa:oaep userwithauth|decrypt" "rsa:rsaes userwithauth|decrypt"; do
        tpm2_import -C primary.ctx -G "${kind% *}" -a "${kind#* }" -i sign.pem -u k.pub -r k.priv >/dev/null
        tpm2_load -C primary.ctx -u k.pub -r k.priv -c k.ctx >/dev/null
        case $kind in *"|sign") text="inconsistent attributes" ;; *) text= ;; esac
        refused "$text" tpm2_rsadecrypt -c k.ctx -s null -o k.out block.bin
    done

    step="the limits: OpenSSL's TPM provider"
    echo "a message" >message
    openssl pkeyutl -encrypt -pubin -inkey tpm_pub.pem -in message -out message.enc
    openssl pkeyutl -provider tpm2 -provider default -decrypt -inkey "handle:0x81000010?pass" \
        -passin file:sign.auth -in message.enc | cmp - message
    refused "Can't set parameter \"rsa_padding_mode:none\"" openssl pkeyutl -provider tpm2 -provider default \
        -decrypt -inkey "handle:0x81000010?pass" -passin file:sign.auth -pkeyopt rsa_padding_mode:none \
        -in block.bin -out provider.out
    [ ! -s provider.out ]
    [ "$(variable TPM2_PT_LOCKOUT_COUNTER)" = 0x0 ] || { echo "auth failures before the lockout test"; exit 1; }
}

check_lockout() {
    checked="$checked lockout"
    step="the limits: a wrong auth value counts"
    printf wrong >wrong.auth
    refused "" tpm2_rsadecrypt -c 0x81000010 -p file:wrong.auth -s null -o wrong.out block.bin
    [ "$(variable TPM2_PT_LOCKOUT_COUNTER)" = 0x1 ]
    tpm2_dictionarylockout --clear-lockout

    step="the limits: three wrong PINs lock the TPM"
    [ "$(variable TPM2_PT_LOCKOUT_COUNTER)" = 0x0 ]
    [ "$(variable TPM2_PT_MAX_AUTH_FAIL)" = 0x3 ]
    [ "$(variable TPM2_PT_LOCKOUT_INTERVAL)" = 0x3E8 ]
    wrong="pkcs11:token=tpm;object=fw?module-name=tpm2_pkcs11&pin-value=0000"
    for pin in wrong wrong right wrong; do
        if [ $pin = right ]; then signs "$URI" right.img; continue; fi
        [ "$(variable inLockout)" = 0 ]
        refused "wrong PIN for token tpm" encrypt_tool in.img wrong.img code.bin "$wrong" common.key
    done
    [ "$(variable inLockout)" = 1 ]
    refused "PIN locked for token tpm" encrypt_tool in.img locked.img code.bin "$URI" common.key
    refused "DA lockout mode" encrypt_tool --signing-helper ./tpm-sign-helper in.img locked.img code.bin \
        tpm_pub.pem common.key
}

check_unlocked() {
    checked="$checked unlocked"
    step="signing after the lockout is cleared"
    [ "$(variable inLockout)" = 0 ]
    signs "$URI" unlocked.img
    signs ./tpm-sign-helper unlocked.img
}

previous=
for block in "$tmp"/blocks/*.sh; do
    heading=$(cat "${block%.sh}.heading")
    if [ "$heading" != "$previous" ]; then
        case $heading in
        "When wrong PINs have locked the TPM") check_limits; check_lockout ;;
        "Removing the keys") check_unlocked ;;
        esac
    fi
    previous=$heading step="the block $(basename "$block") under '$heading'"
    echo "== $step"
    set -x
    . "$block"
    set +x
done
step="the end of the section"
[ "$checked" = " limits lockout unlocked" ] || { echo "checks run:$checked (the section's headings changed?)"; exit 1; }
[ "$previous" = "Removing the keys" ] || { echo "the section no longer ends with 'Removing the keys'"; exit 1; }
tpm2_getcap handles-persistent | grep -q 0x81000010 && { echo "0x81000010 is still there"; exit 1; }
echo "Keys in a TPM: every command of the section ran, and each limit holds"
