#!/bin/bash
# The benchmark's judge of the tool: its generated inputs are the same bytes
# on every run, an output that differs from the base tool's (by cmp or by
# the stored checksum) or a failed run fails it, and without a base tool the
# tool's outputs on the full-size inputs match the stored checksums.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_bench_flatten
BENCH="$PY $SRC_DIR/bench/flatten_bench.py"
SMALL="--size 96 --scaling-sizes 32,100 --runs 1"
fails=0
# expect NAME STATUS PATTERN: the last run ($out, $rc) exited with STATUS
# and printed a line matching PATTERN.
expect() {
    if [ "$rc" != "$2" ] || ! grep -q -- "$3" <<<"$out"; then
        echo "FAIL $1: status $rc (want $2), no line matching '$3' in:"
        sed 's/^/    /' <<<"$out"
        fails=$((fails + 1))
    else
        echo "ok   $1"
    fi
}

# A base tool that writes its output, then changes one pixel byte of it.
cat > "$WORK/base_flips.sh" <<EOF
#!/bin/bash
job=\$(cat); "$FLATTEN" <<<"\$job" || exit
out=\$(sed -n 2p <<<"\$job")
printf '\\001' | dd of="\$out" bs=1 seek=3000 conv=notrunc status=none
EOF
# A tool that fails.
printf '#!/bin/bash\ncat >/dev/null; echo "Error writing pixels to output" >&2; exit 255\n' > "$WORK/tool_fails.sh"
chmod +x "$WORK/base_flips.sh" "$WORK/tool_fails.sh"

# The tool against itself as base: passes, records checksums, prints the
# verdict of each target and the medians of both tools.
out=$($BENCH --tool "$FLATTEN" --base-tool "$FLATTEN" --data "$WORK/d1" $SMALL \
      --write-checksums "$WORK/ck" 2>&1); rc=$?
expect "same tool passes" 0 "Outputs: all 6 identical to the base tool's outputs (cmp)"
expect "16-bit verdict" 0 "16-bit at most 2.2 x cp .* \(PASS\|OVER\)$"
expect "memory verdict" 0 "peak memory at most 16 MiB at every size .* MiB (.*)   \(PASS\|OVER\)$"
expect "linearity verdict" 0 "time linear in pixels (ns/pixel ratios) *100/32: [0-9.]*   \(PASS\|OVER\)$"
expect "base row" 0 "flatten (base base) .* MiB .* MiB$"
for name in in16_96.fits in32_96.fits in32_32.fits in32_100.fits out16_96.fits out32_96.fits \
            out32_32.fits out32_100.fits; do
    grep -q "^[0-9a-f]\{64\}  $name$" "$WORK/ck" || { echo "FAIL checksum of $name missing"; fails=$((fails + 1)); }
done

# The inputs: cached (not made again), and the same bytes when made anew.
out=$($BENCH --tool "$FLATTEN" --data "$WORK/d1" $SMALL --checksums "$WORK/ck" 2>&1); rc=$?
expect "checksums pass without base" 0 "Outputs: all 6 identical to the stored checksums"
if grep -q generating <<<"$out"; then echo "FAIL cached inputs were generated again"; fails=$((fails + 1)); fi
out=$($BENCH --tool "$FLATTEN" --data "$WORK/d2" $SMALL --checksums "$WORK/ck" 2>&1); rc=$?
expect "inputs made anew match the checksums" 0 "Outputs: all 6 identical"
for f in in16_96.fits in32_96.fits in32_32.fits in32_100.fits; do
    cmp "$WORK/d1/$f" "$WORK/d2/$f" || fails=$((fails + 1))
done
$PY - "$WORK/d1/in16_96.fits" <<'EOF' || fails=$((fails + 1))
import sys
from astropy.io import fits
with fits.open(sys.argv[1], do_not_scale_image_data=True) as h:
    hd, d = h[0].header, h[0].data
    assert (hd["BITPIX"], hd["BSCALE"], hd["BZERO"], hd["BLANK"]) == (16, 0.05, 1000.0, -32768), hd
    nblank = int((d == -32768).sum())
    assert 1 <= nblank <= 64 and d.shape == (96, 96), (nblank, d.shape)
print("ok   16-bit input read by astropy: BSCALE, BZERO, BLANK and %d blank(s)" % nblank)
EOF

# Differences fail, each with its reason.
out=$($BENCH --tool "$FLATTEN" --base-tool "$WORK/base_flips.sh" --data "$WORK/d1" $SMALL 2>&1); rc=$?
expect "a differing base output fails" 1 "differs from the base tool's output"
awk '$2 == "out32_100.fits" { $1 = (substr($1, 1, 1) == "0" ? "1" : "0") substr($1, 2); $0 = $1 "  " $2 } 1' \
    "$WORK/ck" > "$WORK/ck_bad"
cmp -s "$WORK/ck" "$WORK/ck_bad" && { echo "FAIL ck_bad unchanged"; fails=$((fails + 1)); }
out=$($BENCH --tool "$FLATTEN" --data "$WORK/d1" $SMALL --checksums "$WORK/ck_bad" 2>&1); rc=$?
expect "a differing checksum fails" 1 "differs from the base tool's output (stored checksum of out32_100.fits)"
out=$($BENCH --tool "$FLATTEN" --base-tool "$FLATTEN" --data "$WORK/d1" $SMALL --checksums "$WORK/ck_bad" 2>&1); rc=$?
expect "with a base, a stale stored output checksum is a note" 0 \
    "note: the base tool's output .* differs from the stored checksum of out32_100.fits"
grep -v out16_96 "$WORK/ck" > "$WORK/ck_short"
out=$($BENCH --tool "$FLATTEN" --data "$WORK/d1" $SMALL --checksums "$WORK/ck_short" 2>&1); rc=$?
expect "a missing checksum fails" 1 "no base tool and no stored checksum for out16_96.fits"
out=$($BENCH --tool "$WORK/tool_fails.sh" --data "$WORK/d1" $SMALL --checksums "$WORK/ck" 2>&1); rc=$?
expect "a failing tool fails" 1 "FAIL: .*tool over: .* exited with status 255: Error writing pixels"
sed -i 's/^[0-9a-f]\(.* in32_32.fits\)$/x\1/' "$WORK/ck"
out=$($BENCH --tool "$FLATTEN" --data "$WORK/d3" $SMALL --checksums "$WORK/ck" 2>&1); rc=$?
expect "an input made differently fails" 1 "FAIL: generated input in32_32.fits has checksum"
out=$($BENCH --tool "$FLATTEN" --base-tool "$FLATTEN" --data "$WORK/d3" $SMALL --checksums "$WORK/ck" 2>&1); rc=$?
expect "with a base, an input made differently is a note" 0 "note: generated input in32_32.fits has checksum"

# Linearity and the ratio verdicts at their limits.
$PY - <<EOF || fails=$((fails + 1))
import sys
sys.path.insert(0, "$SRC_DIR/bench")
import flatten_bench as fb
assert fb.linearity([(1024, 11.0), (4096, 6.0), (8192, 7.5)])[1] == "PASS"
assert fb.linearity([(1024, 6.0), (4096, 6.0), (8192, 7.6)])[1] == "OVER"
assert [round(r, 3) for _, _, r in fb.linearity([(1, 4.0), (2, 5.0)])[0]] == [1.25]
assert (fb.ratio_verdict(2.2, 2.2), fb.ratio_verdict(2.2001, 2.2)) == ("PASS", "OVER")
print("ok   linearity and ratio verdicts")
EOF

# The script itself, without the base commit in the history: the tool's
# outputs on the full-size inputs match the stored checksums of the base.
out=$(BENCH_BASE=no-such-commit BENCH_SCALING=0 BENCH_DATA="$WORK/full" \
      bash "$SRC_DIR/bench/bench_flatten.sh" "$(dirname "$FLATTEN")" 1 2>&1); rc=$?
expect "full-size outputs match the stored checksums" 0 \
    "Outputs: all 4 identical to the stored checksums of the base outputs"
expect "note of the skipped base" 0 "note: commit no-such-commit is not in this tree's git history"
rm -rf "$WORK/full"

[ "$fails" = 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "all bench checks passed"
