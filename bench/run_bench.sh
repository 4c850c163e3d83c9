#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The three performance figures, each a ratio measured in this one run:
#   1. codec overhead: one private-key block through do_rsa_enc_dec, blinded
#      and in constant time, against the bare, variable-time fp_exptmod on the
#      same operands (bound: 1.20);
#   2. private-key operations: the instructions of signing a 40000-byte image
#      with a key file, counted by callgrind, against 23.8 M before private-key
#      blocks ran in constant time (bound: 1.20), and against four private-key
#      blocks, one per block (bound: 1.10); the share inside the blocks
#      (rsa_private_exptmod) is printed too;
#   3. large images: signing a 256 MiB image against a durable copy of it (cp,
#      then sync of the copy: the tool flushes its output before renaming it into
#      place), median of interleaved runs (bound: 1.10; the ratio to a plain cp
#      is printed too), and peak memory against cp's (bound: cp + 1 MiB);
#   4. sparse images: signing a 4 GiB image holding 32 KiB of data against the
#      same durable copy (bound: 1.5), and no more blocks allocated than cp's;
#   5. a key in a token: signing examples/input.img with a key in SoftHSM2
#      against the key file of the same key, medians of interleaved runs (no
#      bound: a figure for docs/performance.md);
#   6. a signing helper: the same with a helper script around openssl pkeyutl
#      (no bound: a figure for docs/performance.md);
#   7. checking a large image: verify_tool --original on a signed 256 MiB image
#      against cmp of the original and a copy of it (both files read whole: the
#      floor), CPU (user + sys) and wall, medians of 3 x RUNS interleaved runs
#      (bound: 1.15 each);
#   8. restoring it: verify_tool --restore against a durable copy of the signed
#      image (cp, then sync of the copy), the same way (bound: 1.15 each).
#   usage: bench/run_bench.sh BUILD_DIR [RUNS]
set -eu
build=$1
runs=${2:-9}
tool=$build/encrypt_tool
ex=$(dirname "$0")/../examples
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

verdict() { # name value bound "le"|"ge"
    if awk -v v="$2" -v b="$3" -v op="$4" 'BEGIN { exit !((op == "le" && v <= b) || (op == "ge" && v >= b)) }'; then
        echo "$1: $2 (bound $3) PASS"
    else
        echo "$1: $2 (bound $3) FAIL"
        failed=1
    fi
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== 1. codec overhead (Google Benchmark, medians of interleaved repetitions)"
"$build/bench/codec_bench" --benchmark_repetitions=25 --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true \
    --benchmark_out="$tmp/bench.csv" --benchmark_out_format=csv | grep -E 'median|Benchmark|---'
cpu() { grep "^\"$1_median\"" "$tmp/bench.csv" | cut -d, -f4; }
verdict "codec / bare fp_exptmod" "$(awk -v a="$(cpu BM_codec_private_block)" -v b="$(cpu BM_bare_fp_exptmod)" \
    'BEGIN { printf "%.4f", a / b }')" 1.20 le
echo "   (OpenSSL BN_mod_exp_mont_consttime / bare fp_exptmod:" \
    "$(awk -v a="$(cpu BM_openssl_consttime)" -v b="$(cpu BM_bare_fp_exptmod)" 'BEGIN { printf "%.4f", a / b }'))"

echo "== 2. arithmetic share (callgrind, signing examples/input.img of 40000 bytes)"
valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" "$tool" "$ex/input.img" "$tmp/cg.img" \
    "$ex/code.bin" "$ex/sign_test.key" "$ex/common_test.key" >/dev/null 2>&1
callgrind_annotate --inclusive=yes "$tmp/cg.out" > "$tmp/cg.txt" 2>/dev/null
total=$(awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }' "$tmp/cg.txt")
inside=$(awk '/:rsa_private_exptmod\(/ { gsub(",", "", $1); print $1; exit }' "$tmp/cg.txt")
valgrind --tool=callgrind --callgrind-out-file="$tmp/one.out" "$build/bench/private_block" "$ex/sign_test.key" \
    >/dev/null 2>&1
one=$(callgrind_annotate --inclusive=yes "$tmp/one.out" 2>/dev/null |
    awk '/:rsa_private_exptmod\(/ { gsub(",", "", $1); print $1; exit }')
echo "   instructions: $total in all, $inside inside private-key blocks; one private-key block: $one" \
    "(share inside the blocks: $(awk -v a="$inside" -v b="$total" 'BEGIN { printf "%.4f", a / b }'))"
verdict "signing run / 23.8 M instructions" "$(awk -v a="$total" 'BEGIN { printf "%.4f", a / 23.8e6 }')" 1.20 le
verdict "signing run / four private-key blocks" "$(awk -v a="$total" -v b="$one" 'BEGIN { printf "%.4f", a / (4 * b) }')" \
    1.10 le

echo "== 3. large image (256 MiB, $runs interleaved runs each)"
openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 0 -in /dev/zero 2>/dev/null |
    head -c 268435456 > "$tmp/big.img"
# Every command runs under one sh, so that none pays for a shell the others do not.
timed() { # label script args...: appends seconds and peak KiB to $tmp/label.times / .rss
    label=$1; shift
    rm -f "$tmp/out.$label"; sync
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$tmp/rss" sh -c "$@"
    end=$(date +%s%N)
    echo "$start $end" | awk '{ printf "%.6f\n", ($2 - $1) / 1e9 }' >> "$tmp/$label.times"
    cat "$tmp/rss" >> "$tmp/$label.rss"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }
i=0
while [ $i -lt "$runs" ]; do
    timed cp 'exec cp "$0" "$1"' "$tmp/big.img" "$tmp/out.cp"
    timed dcp 'cp "$0" "$1" && exec sync "$1"' "$tmp/big.img" "$tmp/out.dcp"
    timed tool 'exec "$0" "$@"' "$tool" "$tmp/big.img" "$tmp/out.tool" "$ex/code.bin" "$ex/sign_test.key" "$ex/common_test.key"
    i=$((i + 1))
done
cmp -s "$tmp/out.tool" "$tmp/out.cp" && { echo "   signed output equals cp's output: the windows were not signed"; failed=1; }
tail_ok=$(cmp -s -i 32768 "$tmp/out.tool" "$tmp/big.img" && echo yes || echo no)
echo "   tail from 32768 equals the input: $tail_ok"
[ "$tail_ok" = yes ] || failed=1
t_tool=$(median < "$tmp/tool.times"); t_cp=$(median < "$tmp/cp.times"); t_dcp=$(median < "$tmp/dcp.times")
m_tool=$(sort -n "$tmp/tool.rss" | tail -1); m_cp=$(sort -n "$tmp/cp.rss" | tail -1)
echo "   median seconds: encrypt_tool $t_tool, cp then sync $t_dcp, cp $t_cp; peak KiB: encrypt_tool $m_tool, cp $m_cp"
verdict "encrypt_tool / (cp then sync) time" "$(ratio "$t_tool" "$t_dcp")" 1.10 le
echo "   (encrypt_tool / plain cp: $(ratio "$t_tool" "$t_cp"))"
verdict "encrypt_tool peak - cp peak (KiB)" "$((m_tool - m_cp))" 1024 le
rm -f "$tmp"/big.img "$tmp"/out.* "$tmp"/*.times "$tmp"/*.rss

echo "== 4. sparse image (4 GiB holding 32 KiB of data, $runs interleaved runs each)"
head -c 32768 "$ex/input.img" > "$tmp/sparse.img"
truncate -s 4G "$tmp/sparse.img"
i=0
while [ $i -lt "$runs" ]; do
    timed cp 'exec cp --sparse=auto "$0" "$1"' "$tmp/sparse.img" "$tmp/out.cp"
    timed dcp 'cp --sparse=auto "$0" "$1" && exec sync "$1"' "$tmp/sparse.img" "$tmp/out.dcp"
    timed tool 'exec "$0" "$@"' "$tool" "$tmp/sparse.img" "$tmp/out.tool" "$ex/code.bin" "$ex/sign_test.key" \
        "$ex/common_test.key"
    i=$((i + 1))
done
t_tool=$(median < "$tmp/tool.times"); t_cp=$(median < "$tmp/cp.times"); t_dcp=$(median < "$tmp/dcp.times")
b_tool=$(stat -c %b "$tmp/out.tool"); b_cp=$(stat -c %b "$tmp/out.cp")
echo "   median seconds: encrypt_tool $t_tool, cp then sync $t_dcp, cp $t_cp;" \
     "512-byte blocks allocated: encrypt_tool $b_tool, cp $b_cp (of $(stat -c %s "$tmp/out.tool") bytes)"
verdict "sparse: encrypt_tool / (cp then sync) time" "$(ratio "$t_tool" "$t_dcp")" 1.5 le
echo "   (encrypt_tool / plain cp: $(ratio "$t_tool" "$t_cp"))"
verdict "sparse: blocks, encrypt_tool - cp" "$((b_tool - b_cp))" 0 le
rm -f "$tmp"/sparse.img "$tmp"/out.* "$tmp"/*.times "$tmp"/*.rss

echo "== 5. a key in a token (SoftHSM2) against its key file, $((runs * 3)) interleaved runs each"
module=/usr/lib/softhsm/libsofthsm2.so
if [ -r "$module" ] && command -v softhsm2-util >/dev/null; then
    export SOFTHSM2_CONF="$tmp/softhsm2.conf"
    mkdir "$tmp/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$tmp/tokens" > "$SOFTHSM2_CONF"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$tmp/k.pem" 2>/dev/null
    softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 5678 >/dev/null
    softhsm2-util --import "$tmp/k.pem" --token bench --label sign --id 01 --pin 1234 >/dev/null
    "$build/key_tool" import "$tmp/k.pem" "$tmp/k.key" >/dev/null
    uri="pkcs11:token=bench;object=sign?module-path=$module&pin-value=1234"
    i=0
    while [ $i -lt $((runs * 3)) ]; do
        timed file 'exec "$0" "$@"' "$tool" "$ex/input.img" "$tmp/out.file" "$ex/code.bin" "$tmp/k.key" "$ex/common_test.key"
        timed token 'exec "$0" "$@"' "$tool" "$ex/input.img" "$tmp/out.token" "$ex/code.bin" "$uri" "$ex/common_test.key"
        i=$((i + 1))
    done
    same=$(cmp -s "$tmp/out.file" "$tmp/out.token" && echo yes || echo no)
    echo "   median seconds: key file $(median < "$tmp/file.times"), token $(median < "$tmp/token.times");" \
         "peak KiB: key file $(sort -n "$tmp/file.rss" | tail -1), token $(sort -n "$tmp/token.rss" | tail -1);" \
         "same image: $same"
    [ "$same" = yes ] || failed=1
else
    echo "   SoftHSM2 is not installed: not measured"
fi

echo "== 6. a signing helper around openssl pkeyutl against the key file, $((runs * 3)) interleaved runs each"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$tmp/h.pem" 2>/dev/null
"$build/key_tool" import "$tmp/h.pem" "$tmp/h.key" >/dev/null
"$build/key_tool" export "$tmp/h.key" "$tmp/h_pub.pem" >/dev/null
printf '#!/bin/sh\nexec openssl pkeyutl -decrypt -inkey "%s" -pkeyopt rsa_padding_mode:none\n' "$tmp/h.pem" > "$tmp/helper"
chmod +x "$tmp/helper"
rm -f "$tmp"/*.times "$tmp"/*.rss
i=0
while [ $i -lt $((runs * 3)) ]; do
    timed file 'exec "$0" "$@"' "$tool" "$ex/input.img" "$tmp/out.file" "$ex/code.bin" "$tmp/h.key" "$ex/common_test.key"
    timed helper 'exec "$0" "$@"' "$tool" --signing-helper "$tmp/helper" "$ex/input.img" "$tmp/out.helper" \
        "$ex/code.bin" "$tmp/h_pub.pem" "$ex/common_test.key"
    i=$((i + 1))
done
same=$(cmp -s "$tmp/out.file" "$tmp/out.helper" && echo yes || echo no)
echo "   median seconds: key file $(median < "$tmp/file.times"), helper $(median < "$tmp/helper.times");" \
     "same image: $same"
[ "$same" = yes ] || failed=1

echo "== 7. checking a large image (256 MiB, $((runs * 3)) interleaved runs each)"
verify=$build/verify_tool
openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f -iv 0 -in /dev/zero 2>/dev/null |
    head -c 268435456 > "$tmp/big.img"
cp "$tmp/big.img" "$tmp/copy.img"
"$tool" "$tmp/big.img" "$tmp/signed.img" "$ex/code.bin" "$ex/sign_test.key" "$ex/common_test.key" >/dev/null
# CPU seconds (user + sys of every process the command starts) and wall
# seconds, to the millisecond (bash's time; /usr/bin/time gives hundredths).
cputimed() { # label script args...: appends "cpu wall" to $tmp/label.cpu
    label=$1; shift
    rm -f "$tmp/out.$label"; sync
    bash -c 'TIMEFORMAT="%3U %3S %3R"; f=$1; shift; { time sh -c "$@" 2>&3 3>&-; } 3>&2 2>"$f"' bash "$tmp/t" "$@"
    awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$tmp/t" >> "$tmp/$label.cpu"
}
cpu_of() { cut -d' ' -f1 "$tmp/$1.cpu" | median; }
wall_of() { cut -d' ' -f2 "$tmp/$1.cpu" | median; }
i=0
while [ $i -lt $((runs * 3)) ]; do
    cputimed cmp 'exec cmp "$0" "$1"' "$tmp/big.img" "$tmp/copy.img"
    cputimed original 'exec "$0" --key "$1" --original "$2" "$3" >/dev/null' "$verify" "$ex/sign_test.key" \
        "$tmp/big.img" "$tmp/signed.img"
    i=$((i + 1))
done
echo "   median seconds: verify_tool --original CPU $(cpu_of original), wall $(wall_of original);" \
     "cmp CPU $(cpu_of cmp), wall $(wall_of cmp)"
verdict "verify_tool --original / cmp, CPU" "$(ratio "$(cpu_of original)" "$(cpu_of cmp)")" 1.15 le
verdict "verify_tool --original / cmp, wall" "$(ratio "$(wall_of original)" "$(wall_of cmp)")" 1.15 le

echo "== 8. restoring a large image (256 MiB, $((runs * 3)) interleaved runs each)"
i=0
while [ $i -lt $((runs * 3)) ]; do
    cputimed dcp 'cp "$0" "$1" && exec sync --data "$1"' "$tmp/signed.img" "$tmp/out.dcp"
    cputimed restore 'exec "$0" --key "$1" --restore "$2" "$3" >/dev/null' "$verify" "$ex/sign_test.key" \
        "$tmp/out.restore" "$tmp/signed.img"
    i=$((i + 1))
done
tail_ok=$(cmp -s -i 32768 "$tmp/out.restore" "$tmp/big.img" && echo yes || echo no)
echo "   restored tail from 32768 equals the original: $tail_ok"
[ "$tail_ok" = yes ] || failed=1
echo "   median seconds: verify_tool --restore CPU $(cpu_of restore), wall $(wall_of restore);" \
     "cp then sync CPU $(cpu_of dcp), wall $(wall_of dcp)"
verdict "verify_tool --restore / (cp then sync), CPU" "$(ratio "$(cpu_of restore)" "$(cpu_of dcp)")" 1.15 le
verdict "verify_tool --restore / (cp then sync), wall" "$(ratio "$(wall_of restore)" "$(wall_of dcp)")" 1.15 le
rm -f "$tmp"/*.img "$tmp"/out.* "$tmp"/*.cpu
exit $failed
