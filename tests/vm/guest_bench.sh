# The audio benchmark inside the guest: aplay plays 1 kHz bursts into the
# device while arecord records the phone's 600 Hz tone, both for SECONDS.
# usbmon timestamps every URB: its completions (given back as soon as the
# device answers, vhci_hcd having no frame clock) are the intervals the
# device keeps, and the submission of the first URB that carries a burst,
# against the moment quor-phone-sim hears that burst, is the delay from the
# host's USB stack to the phone (usbmon stamps with CLOCK_MONOTONIC, as the
# simulator does). aplay's own buffer (500 ms by default) comes before
# that. Sourced by run.sh after guest_lib.sh; prints figures only.

BURST_ON_MS=200
BURST_PERIOD_MS=500

# interval_stats FILE: count, mean, p50, p99 and max of the numbers in FILE
# (us), printed in ms.
interval_stats() {
    sort -n "$1" | awk '{ v[NR] = $1; s += $1 }
        END {
            if (NR == 0) { print "none"; exit }
            p50 = v[int((NR - 1) * 0.50) + 1]; p99 = v[int((NR - 1) * 0.99) + 1]
            printf "n %d mean %.3f p50 %.3f p99 %.3f max %.3f ms\n", NR, s / NR / 1000, p50 / 1000, p99 / 1000, v[NR] / 1000
        }'
}

# completion_intervals MON ADDRESS: gaps between successive completions of
# the endpoint ADDRESS (e.g. Zo:1:002:1) in us.
completion_intervals() {
    awk -v a="$2" '$3 == "C" && $4 == a {
            t = $2 + 0
            if (have) { d = t - last; if (d < 0) d += 4096000000; print d }
            last = t; have = 1
        }' "$1"
}

# burst_delays MON ADDRESS PHONE_LOG: for each burst the phone heard, the
# time since the host submitted the first OUT URB that shows the burst
# (usbmon shows a URB's first 16 samples, so the burst may begin up to one
# URB earlier), in us.
burst_delays() {
    awk -v a="$2" -v period_us=$((BURST_PERIOD_MS * 1000)) '
        FNR == NR {
            if ($3 != "S" || $4 != a) next
            loud = ($0 ~ /= .*[1-9a-f]/)
            if (loud && !was_loud) onset[n++] = $2 + 0
            was_loud = loud
            next
        }
        /^onset heard at / {
            h = $4 % 4096000000
            best = -1
            for (k = 0; k < n; k++) {
                d = h - onset[k]; if (d < 0) d += 4096000000
                if (d < period_us && (best < 0 || d < best)) best = d
            }
            if (best >= 0) print best
        }' "$1" "$3"
}

run_bench() {
    seconds=$1
    start_phone --tone 600 || { say "quor-phone-sim did not start"; exit 1; }
    start_console || { say "quor-console did not start"; exit 1; }
    pair_and_enumerate || exit 1
    card=$(card_of "$DEV")
    bus=$(cat "/sys/bus/usb/devices/$DEV/busnum")
    addr=$(printf '%s:%03d' "$bus" "$(cat "/sys/bus/usb/devices/$DEV/devnum")")
    "$TOOLS"/quor-vm-tone generate 1000 "$seconds" 48000 -12 "$WORK/bursts.wav" \
        "$BURST_ON_MS" $((BURST_PERIOD_MS - BURST_ON_MS))
    say "device $DEV on card $card, usbmon address $addr, $seconds s of two-way audio"

    cat "/sys/kernel/debug/usb/usbmon/${bus}u" > "$WORK/usbmon.txt" &
    mon=$!
    phone_from=$(lines_of "$PHONE_LOG")
    cpu0=$(cpu_ticks "$CONSOLE_PROC")
    start_clock_watch bench
    head -n 1 /proc/stat > "$WORK/cpu-before.txt"
    t0=$(now_ms)
    arecord -D "hw:$card,0" -f S16_LE -c 1 -r 48000 -d "$seconds" "$WORK/capture.wav" \
        > "$WORK/arecord.txt" 2>&1 &
    rec=$!
    aplay -D "hw:$card,0" "$WORK/bursts.wav" > "$WORK/aplay.txt" 2>&1
    play_rc=$?
    play_ms=$(($(now_ms) - t0))
    wait "$rec"
    rec_rc=$?
    rec_ms=$(($(now_ms) - t0))
    cpu=$(($(cpu_ticks "$CONSOLE_PROC") - cpu0))
    stop_clock_watch bench
    head -n 1 /proc/stat > "$WORK/cpu-after.txt"
    kill "$mon"
    wait_line 10 "$PHONE_LOG" "$phone_from" '^media summary'

    figure "bench: aplay exit $play_rc in $play_ms ms, arecord exit $rec_rc in $rec_ms ms, for $seconds s each"
    figure "bench: xruns: aplay $(grep -c 'underrun' "$WORK/aplay.txt"), arecord $(grep -c 'overrun' "$WORK/arecord.txt")"
    completion_intervals "$WORK/usbmon.txt" "Zo:$addr:1" > "$WORK/pb.txt"
    completion_intervals "$WORK/usbmon.txt" "Zi:$addr:2" > "$WORK/cp.txt"
    figure "bench: playback completion interval (ep 0x01): $(interval_stats "$WORK/pb.txt")"
    figure "bench: capture completion interval (ep 0x82): $(interval_stats "$WORK/cp.txt")"
    tail -n +$((phone_from + 1)) "$PHONE_LOG" | grep -E '^(onset heard|media summary)' > "$WORK/phone-events.txt"
    burst_delays "$WORK/usbmon.txt" "Zo:$addr:1" "$WORK/phone-events.txt" > "$WORK/delays.txt"
    # The first burst also waits for the call's media to open.
    tail -n +2 "$WORK/delays.txt" > "$WORK/later-delays.txt"
    figure "bench: delay from the host's submission of a burst to the phone hearing it: first burst $(awk 'NR == 1 { printf "%.1f", $1 / 1000 }' "$WORK/delays.txt") ms (the media opens), later bursts $(interval_stats "$WORK/later-delays.txt"); $(grep -c '^onset heard' "$WORK/phone-events.txt") bursts heard of $((seconds * 1000 / BURST_PERIOD_MS))"
    figure "bench: phone: $(grep '^media summary' "$WORK/phone-events.txt" | tail -n1)"
    figure "bench: capture: $("$TOOLS"/quor-vm-tone analyse "$WORK/capture.wav")"
    figure "bench: quor-console CPU: $cpu ticks in $rec_ms ms"
    # /proc/stat's first line: user nice system idle iowait irq softirq ...
    figure "bench: the guest's CPUs: $(cat "$WORK/cpu-before.txt" "$WORK/cpu-after.txt" | awk '
        { for (i = 2; i <= 8; i++) v[NR, i] = $i }
        END {
            for (i = 2; i <= 8; i++) d[i] = v[2, i] - v[1, i]
            busy = d[2] + d[3] + d[4] + d[7] + d[8]; all = busy + d[5] + d[6]
            printf "%d ticks busy, %d idle (%.0f %% busy)", busy, d[5] + d[6], all ? 100 * busy / all : 0
        }')"
    unpair_and_detach
    # The device's closing line of the call's media: the phone's frames it
    # received, and those it skipped to cut a delay.
    figure "bench: device: $(grep '^NETWORK: RTP closed' "$DIAG_LOG" | tail -n 1)"
}
