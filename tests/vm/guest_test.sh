# The vm test inside the guest: quor-phone-sim and quor-console on the
# guest's loopback, the emulated phone attached to the guest kernel's
# vhci_hcd, and everything checked from the kernel's side. Sourced by
# run.sh after guest_lib.sh.

CYCLES=20
TONE_PLAY_HZ=1000
TONE_PHONE_HZ=600
AUDIO_SECONDS=5

# One compact line per descriptor of interest from "lsusb -v".
lsusb_summary() {
    awk '
        /^  idVendor/ || /^  idProduct/ || /^  bcdUSB/ || /^  bcdDevice/ { dev = dev " " $1 "=" $2 }
        /^    bConfigurationValue/ { print "config " $2 dev }
        /^    MaxPower/ { print "  MaxPower " $2 }
        /^    Interface Descriptor:/ { iface = "" }
        /^      bInterfaceNumber/ { iface = "if " $2 }
        /^      bAlternateSetting/ { iface = iface " alt " $2 }
        /^      bInterfaceClass/ { iface = iface " class " $2 }
        /^      bInterfaceSubClass/ { iface = iface "/" $2 }
        /^      iInterface/ { $1 = ""; $2 = ""; sub(/^ +/, ""); print "  " iface " \"" $0 "\"" }
        /^        bEndpointAddress/ { ep = "    ep " $2 " " $3 " " $4 }
        /^          Transfer Type/ { ep = ep " " $3 }
        /^          Synch Type/ { ep = ep "/" $3 }
        /^        wMaxPacketSize/ { ep = ep " max " $3 " " $4 }
        /^        bInterval/ { print ep " interval " $2 }
        /^          wDescriptorLength/ { print "    HID report descriptor " $2 " bytes" }
        /^        tSamFreq/ { print "    format " $NF " Hz" }
    ' "$1"
}

starts_with() { case $1 in "$2"*) return 0 ;; esac; return 1; }

# The iInterface text of interface N in lsusb -v's output FILE.
interface_string() {
    awk -v n="$2" '/^      bInterfaceNumber/ { cur = $2 }
        /^      iInterface/ && cur == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }' "$1"
}

step_enumeration() {
    local rc line s cfg want got i
    pair_and_enumerate
    rc=$?
    pass_if enumeration "pair, attach, 4 interfaces bound, ALSA card and hidraw node in ${ENUM_MS:-?} ms" \
        [ $rc = 0 ]
    [ $rc = 0 ] || return 1
    say "device $DEV, card $(card_of "$DEV"), $(hidraw_of "$DEV")"
    line=$(lsusb | grep -i "ID $VID:$PID")
    pass_if lsusb-ids "lsusb: $line" [ -n "$line" ]
    lsusb -v -d "$VID:$PID" > "$WORK/lsusb.txt" 2>&1
    lsusb_summary "$WORK/lsusb.txt" | while IFS= read -r l; do figure "lsusb -v: $l"; done
    # The audio interfaces are named after the model; the HID interface's
    # string is a fixed one.
    for i in 0 1 2; do
        s=$(interface_string "$WORK/lsusb.txt" "$i")
        pass_if "interface-string-$i" "\"$s\"" starts_with "$s" "Kestrow $MODEL "
    done
    say "interface 3 string: \"$(interface_string "$WORK/lsusb.txt" 3)\""
    cfg=$(cat "/sys/bus/usb/devices/$DEV/bConfigurationValue")
    pass_if configuration "bConfigurationValue $cfg" [ "$cfg" = 1 ]
    for i in 0 1 2 3; do
        want=snd-usb-audio
        [ "$i" = 3 ] && want=usbhid
        got=$(driver_of "$DEV:1.$i")
        pass_if "driver-$i" "interface $i bound to ${got:-nothing}" [ "$got" = "$want" ]
    done
}

# stream_offers FILE SECTION: the Playback or Capture section of an ALSA
# stream file offers S16_LE, one channel, 48000 Hz.
stream_offers() {
    sed -n "/^$2:/,/^\$/p" "$1" > "$WORK/section"
    grep -q 'Format: S16_LE' "$WORK/section" && grep -q 'Channels: 1$' "$WORK/section" &&
        grep -q 'Rates: 48000$' "$WORK/section"
}

# hw_params_fixed FILE: the --dump-hw-params output shows S16_LE, 1, 48000
# as the only choice.
hw_params_fixed() {
    grep -q '^FORMAT: *S16_LE$' "$1" && grep -q '^CHANNELS: *1$' "$1" && grep -q '^RATE: *48000$' "$1"
}

# mixer_value CARD CONTROL: "VALUE on|off" of a mono control.
mixer_value() {
    amixer -c "$1" sget "$2" | sed -n 's/^ *Mono: [A-Za-z]* \([0-9]*\) .*\[\(on\|off\)\].*/\1 \2/p'
}

# mixer_has FILE NAME...: amixer's scontents list each NAME with a volume
# and a switch.
mixer_has() {
    local file=$1 name
    shift
    for name in "$@"; do
        sed -n "/^Simple mixer control '$name',0/,/^Simple/p" "$file" |
            grep -q 'Capabilities:.*volume.*switch' || return 1
    done
}

step_alsa() {
    local card stream play capt got i
    card=$(card_of "$DEV")
    stream=/proc/asound/card$card/stream0
    sed 's/^/vm: stream: /' "$stream"
    pass_if playback-format "card $card playback offers S16_LE, mono, 48000 Hz" stream_offers "$stream" Playback
    pass_if capture-format "card $card capture offers S16_LE, mono, 48000 Hz" stream_offers "$stream" Capture

    amixer -c "$card" scontents > "$WORK/amixer.txt"
    sed 's/^/vm: amixer: /' "$WORK/amixer.txt"
    play="Kestrow $MODEL Audio Playback"
    capt="Kestrow $MODEL Audio Capture"
    pass_if mixer-controls "mute and volume of '$play' and '$capt'" mixer_has "$WORK/amixer.txt" "$play" "$capt"
    amixer -c "$card" -q sset "$play" 20 mute
    got=$(mixer_value "$card" "$play")
    pass_if mixer-set "amixer set 20 and mute, read back '$got'" [ "$got" = "20 off" ]
    # The driver caches what it set; a fresh probe reads the device itself.
    # The card goes when all three of its interfaces are released.
    for i in 0 1 2; do echo "$DEV:1.$i" > /sys/bus/usb/drivers/snd-usb-audio/unbind; done
    echo "$DEV:1.0" > /sys/bus/usb/drivers/snd-usb-audio/bind
    pass_if reprobe "snd-usb-audio bound again to all three audio interfaces" wait_until 20 enumerated
    card=$(card_of "$DEV")
    got=$(mixer_value "$card" "$play")
    pass_if mixer-device "after a new probe the device reports '$got' (GET_CUR)" [ "$got" = "20 off" ]
    # The device keeps one mute and one volume for both feature units.
    say "capture control after the new probe: '$(mixer_value "$card" "$capt")'"
    amixer -c "$card" -q sset "$play" 30 unmute
}

# tone_stream MON ADDRESS: from usbmon's text log, the OUT URBs of endpoint
# ADDRESS that carry audio (a non-zero sample among the first 16 shown):
# "URBS MS_OF_AUDIO WALL_MS FIRST_MS LAST_MS", the wall time running from
# the moment the first was due to start (FIRST_MS: its completion less its
# own length) to the last completion (LAST_MS), both on CLOCK_MONOTONIC.
tone_stream() {
    awk -v a="$2" '
        function len(  i) { for (i = 5; i <= NF; i++) if ($i == "=" || $i == ">" || $i == "<") return $(i - 1); return 0 }
        $4 != a { next }
        $3 == "S" { loud[$1] = ($0 ~ /= .*[1-9a-f]/) }
        $3 == "C" && loud[$1] {
            t = $2 + 0; ms = len() / 96
            if (!n) first = t - ms * 1000
            last = t; n++; audio += ms
        }
        END { printf "%d %.1f %.1f %.1f %.1f\n", n, audio, n ? (last - first) / 1000 : 0, first / 1000, last / 1000 }' "$1"
}

# The steps below run in real time: see real_time_step. Their audio part
# leaves its results in variables named after the step for the judging part.

playback_audio() {
    local bus
    bus=$(cat "/sys/bus/usb/devices/$DEV/busnum")
    play_addr=$(printf '%s:%03d' "$bus" "$(cat "/sys/bus/usb/devices/$DEV/devnum")")
    "$TOOLS"/quor-vm-tone generate "$TONE_PLAY_HZ" "$AUDIO_SECONDS" 48000 -12 "$WORK/play.wav"
    cat "/sys/kernel/debug/usb/usbmon/${bus}u" > "$WORK/play-usbmon.txt" &
    mon=$!
    play_from=$(lines_of "$PHONE_LOG")
    t0=$(now_ms)
    aplay -D "hw:$(card_of "$DEV"),0" --dump-hw-params "$WORK/play.wav" > "$WORK/aplay.txt" 2>&1
    play_rc=$?
    play_wall=$(($(now_ms) - t0))
    kill "$mon"
    sed 's/^/vm: aplay: /' "$WORK/aplay.txt"
    # The call's media closes 500 ms after the speaker falls idle; the phone
    # then closes its recording.
    wait_line 10 "$PHONE_LOG" "$play_from" '^media summary'
}

playback_judge() {
    local from=$play_from rc=$play_rc wall=$play_wall addr=$play_addr
    local summary a freq tone stream urbs audio_ms stream_ms lost first_ms last_ms heard_ms setup_ms after_ms
    pass_if aplay "aplay exit $rc, ${wall} ms for ${AUDIO_SECONDS} s of audio" [ "$rc" = 0 ]
    pass_if playback-hw-params "aplay's hw params: S16_LE, 1 channel, 48000 Hz" hw_params_fixed "$WORK/aplay.txt"
    stream=$(tone_stream "$WORK/play-usbmon.txt" "Zo:$addr:1")
    urbs=$(echo "$stream" | cut -d' ' -f1) audio_ms=$(echo "$stream" | cut -d' ' -f2)
    stream_ms=$(echo "$stream" | cut -d' ' -f3) first_ms=$(echo "$stream" | cut -d' ' -f4)
    last_ms=$(echo "$stream" | cut -d' ' -f5)
    summary=$(tail -n +$((from + 1)) "$PHONE_LOG" | grep '^media summary' | tail -n1)
    say "phone: $summary"
    heard_ms=$(tail -n +$((from + 1)) "$PHONE_LOG" | sed -n 's/^onset heard at \([0-9]*\) us$/\1/p' | head -n1)
    heard_ms=$(awk -v us="${heard_ms:-0}" 'BEGIN { printf "%.1f", us / 1000 }')
    a=$("$TOOLS"/quor-vm-tone analyse "$PHONE_WAV")
    say "phone recording: $a"
    freq=$(value_of freq "$a")
    tone=$(value_of tone "$a")
    setup_ms=$(awk "BEGIN { printf \"%.1f\", $heard_ms - $first_ms }")
    after_ms=$(awk "BEGIN { printf \"%.1f\", $last_ms - $heard_ms }")
    figure "playback: aplay ran ${wall} ms; the host's stream carried ${audio_ms} ms of tone in $urbs URBs over ${stream_ms} ms; the phone heard it ${setup_ms} ms after the stream began and got $(value_of rate "$a") Hz audio: ${freq} Hz for ${tone} s at $(value_of level "$a") dBFS"
    # Wall time is judged on the guest's clock: time in which the guest
    # stood still while the stream ran delayed the host as well.
    lost=$(stood_still_between "$first_ms" "$last_ms")
    pass_if playback-pacing "the device took ${audio_ms} ms of audio in ${stream_ms} ms (2 %, and the ${lost} ms the guest stood still)" \
        awk_true "$audio_ms > 0 && $stream_ms >= $audio_ms * 0.98 && $stream_ms <= $audio_ms * 1.02 + $lost"
    # The host plays from the moment it selects the speaker; the call's
    # media and keys come up meanwhile, and what is played before that is
    # not sent.
    pass_if playback-setup "the phone heard the host's tone ${setup_ms} ms after the stream began (at most 1000 ms, and the ${lost} ms the guest stood still)" \
        awk_true "$heard_ms > 0 && $setup_ms >= 0 && $setup_ms <= 1000 + $lost"
    pass_if playback-rate "the phone records at $(value_of rate "$a") Hz" [ "$(value_of rate "$a")" = 16000 ]
    pass_if playback-frequency "${freq} Hz at the phone (${TONE_PLAY_HZ} Hz played)" \
        awk_true "${freq:-0} >= $TONE_PLAY_HZ * 0.995 && ${freq:-0} <= $TONE_PLAY_HZ * 1.005"
    pass_if playback-duration "${tone} s of tone at the phone, the host's stream ran ${after_ms} ms after the phone first heard it (2 %, less the ${lost} ms the guest stood still)" \
        awk_true "${tone:-0} * 1000 >= ($after_ms - $lost) * 0.98 && ${tone:-0} * 1000 <= $after_ms * 1.02"
}

capture_audio() {
    t0=$(now_ms)
    arecord -D "hw:$(card_of "$DEV"),0" -f S16_LE -c 1 -r 48000 -d "$AUDIO_SECONDS" --dump-hw-params \
        "$WORK/capture.wav" > "$WORK/arecord.txt" 2>&1
    capture_rc=$?
    capture_wall=$(($(now_ms) - t0))
    sed 's/^/vm: arecord: /' "$WORK/arecord.txt"
}

capture_judge() {
    local rc=$capture_rc wall=$capture_wall a freq gaps allowed
    pass_if arecord "arecord exit $rc, ${wall} ms for ${AUDIO_SECONDS} s" [ "$rc" = 0 ]
    pass_if capture-hw-params "arecord's hw params: S16_LE, 1 channel, 48000 Hz" hw_params_fixed "$WORK/arecord.txt"
    a=$("$TOOLS"/quor-vm-tone analyse "$WORK/capture.wav")
    say "capture: $a"
    freq=$(value_of freq "$a")
    gaps=$(value_of gaps "$a")
    figure "capture: arecord ${wall} ms, $(value_of duration "$a") s recorded, ${freq} Hz tone for $(value_of tone "$a") s, ${gaps} gaps ($(value_of gaps_per_s "$a") per s, worst second $(value_of worst_second "$a")), level $(value_of level "$a") dBFS"
    pass_if capture-length "$(value_of samples "$a") samples recorded" [ "$(value_of samples "$a")" = $((AUDIO_SECONDS * 48000)) ]
    pass_if capture-frequency "${freq} Hz recorded (${TONE_PHONE_HZ} Hz from the phone)" \
        awk_true "${freq:-0} >= $TONE_PHONE_HZ * 0.995 && ${freq:-0} <= $TONE_PHONE_HZ * 1.005"
    # A faded repeat is the device's fault unless the guest stood still:
    # then the phone simulator could not send in time either. One a second
    # is allowed, and one more for each time the guest's clock shows it
    # stood still for a frame's length or more.
    allowed=$(awk -v s="$(value_of analysed "$a")" -v k="${STALLS:-0}" 'BEGIN { printf "%d", s + k }')
    pass_if capture-gaps "${gaps} faded-repeat gaps in $(value_of analysed "$a") s of tone, at most $allowed (1 a second, and 1 for each of the ${STALLS:-0} times the guest stood still)" \
        awk_true "${gaps:-99} <= $allowed"
}

capture_running() { grep -q '^state: RUNNING' "/proc/asound/card$1/pcm0c/sub0/status"; }

# Playback that ends while capture goes on: the phone's audio must reach
# the recording to its end.
duplex_audio() {
    local card rec
    card=$(card_of "$DEV")
    "$TOOLS"/quor-vm-tone generate "$TONE_PLAY_HZ" 1 48000 -12 "$WORK/short.wav"
    arecord -D "hw:$card,0" -f S16_LE -c 1 -r 48000 -d 4 "$WORK/duplex.wav" > "$WORK/duplex.txt" 2>&1 &
    rec=$!
    wait_until 30 capture_running "$card"
    aplay -D "hw:$card,0" "$WORK/short.wav" >> "$WORK/duplex.txt" 2>&1
    wait "$rec"
}

duplex_judge() {
    local a end duration
    a=$("$TOOLS"/quor-vm-tone analyse "$WORK/duplex.wav")
    say "duplex capture: $a"
    end=$(value_of tone_end "$a")
    duration=$(value_of duration "$a")
    figure "duplex: a 1 s playback inside a 4 s recording; the phone's tone recorded until ${end} s of ${duration} s, $(value_of gaps "$a") gaps"
    pass_if duplex "the phone's tone reaches the recording's end (${end} of ${duration} s) after playback stopped" \
        awk_true "${duration:-0} >= 3.9 && ${end:-0} >= ${duration:-0} - 0.05"
}

step_playback() { real_time_step playback; }
step_capture() { real_time_step capture; }
step_duplex() { real_time_step duplex; }

step_hid() {
    local node info hid_id sysfs_size debugfs_size ioctl_size f11 f12 reader order
    node=/dev/$(hidraw_of "$DEV")
    info=$("$TOOLS"/quor-vm-hidraw info "$node")
    say "hidraw: $node $info"
    dmesg | grep -m1 "hidraw.*$VID:$PID" | sed 's/^/vm: kernel: /'
    hid_id="0003:$(echo "$VID:$PID" | tr a-f A-F)"
    sysfs_size=$(cat /sys/bus/hid/devices/"$hid_id".*/report_descriptor | wc -c)
    debugfs_size=$(head -n1 /sys/kernel/debug/hid/"$hid_id".*/rdesc | wc -w)
    ioctl_size=$(value_of rdesc_size "$info")
    head -n1 /sys/kernel/debug/hid/"$hid_id".*/rdesc | cut -c1-96 | sed 's/^/vm: debugfs rdesc starts: /'
    pass_if hid-rdesc "report descriptor bound by usbhid: $ioctl_size bytes (hidraw ioctl), $sysfs_size (sysfs), $debugfs_size (debugfs)" \
        [ "$ioctl_size/$sysfs_size/$debugfs_size" = 457/457/457 ]
    f11=$("$TOOLS"/quor-vm-hidraw feature "$node" 0x11)
    f12=$("$TOOLS"/quor-vm-hidraw feature "$node" 0x12)
    pass_if hid-feature-11 "feature report 0x11: $f11" [ "$f11" = "11 5e 04 02 00" ]
    pass_if hid-feature-12 "feature report 0x12: $f12" [ "$f12" = "12 02 48 20 08" ]

    # The phone's HANG_UP waits for the host to open the send window.
    "$TOOLS"/quor-vm-hidraw read "$node" 30000 3 > "$WORK/hid-input.txt" 2>&1 &
    reader=$!
    wait_line 30 "$WORK/hid-input.txt" 0 '^reading$'
    "$TOOLS"/quor-vm-hidraw write "$node" 03 01 $(printf '00 %.0s' $(seq 31)) > /dev/null
    phone_cmd hangup
    wait "$reader"
    sed 's/^/vm: hidraw /' "$WORK/hid-input.txt"
    order=$(sed -n 's/^input [^:]*: //p' "$WORK/hid-input.txt" | grep -E '^01 0[03] 00$' | tr '\n' ',')
    pass_if hid-hangup "HANG_UP arrived as input reports: $order" [ "$order" = "01 00 00,01 03 00," ]
}

step_unpair() {
    local rc line
    unpair_and_detach
    rc=$?
    pass_if unpair "unpaired and detached in ${UNPAIR_MS:-?} ms" [ $rc = 0 ]
    [ $rc = 0 ] || return 1
    pass_if vhci-port-free "vhci_hcd ports in use: $(vhci_ports_in_use)" [ "$(vhci_ports_in_use)" = 0 ]
    line=$(dmesg | grep 'USB disconnect' | tail -n1)
    pass_if disconnect "kernel: $line" [ -n "$line" ]
}

# settle_count WANT COMMAND: waits up to 5 s for COMMAND to print WANT;
# prints its last answer.
settle_count() {
    want=$1
    shift
    i=0
    got=$("$@")
    while [ "$got" != "$want" ] && [ $i -lt 50 ]; do
        sleep 0.1
        got=$("$@")
        i=$((i + 1))
    done
    echo "$got"
}

step_cycles() {
    local threads0 fds0 done_cycles stuck enum_total enum_max unpair_total unpair_max start elapsed threads fds n s
    threads0=$(task_count)
    fds0=$(fd_count)
    done_cycles=0 stuck=0 enum_total=0 enum_max=0 unpair_total=0 unpair_max=0
    start=$(now_ms)
    while [ $done_cycles -lt $CYCLES ]; do
        pair_and_enumerate && unpair_and_detach || break
        done_cycles=$((done_cycles + 1))
        enum_total=$((enum_total + ENUM_MS)) unpair_total=$((unpair_total + UNPAIR_MS))
        [ "$ENUM_MS" -gt "$enum_max" ] && enum_max=$ENUM_MS
        [ "$UNPAIR_MS" -gt "$unpair_max" ] && unpair_max=$UNPAIR_MS
        s=$(lasting_stuck_tasks)
        [ -n "$s" ] && stuck=$((stuck + 1)) && say "cycle $done_cycles: D state: $s"
    done
    elapsed=$(($(now_ms) - start))
    threads=$(settle_count "$threads0" task_count)
    fds=$(settle_count "$fds0" fd_count)
    n=$((done_cycles > 0 ? done_cycles : 1))
    figure "cycles: $done_cycles of $CYCLES pair/unpair in $elapsed ms; enumeration mean $((enum_total / n)) ms max $enum_max ms; unpair mean $((unpair_total / n)) ms max $unpair_max ms; threads $threads0 -> $threads; fds $fds0 -> $fds; cycles with a task in D state for 2 s: $stuck"
    pass_if cycles "$done_cycles of $CYCLES pair/unpair cycles enumerated and detached" [ $done_cycles = $CYCLES ]
    s=$(lasting_stuck_tasks)
    pass_if no-stuck-worker "cycles with a task in D state for 2 s: $stuck; now: '$s'" [ "$stuck/$s" = 0/ ]
    pass_if sysfs-responsive "vhci status readable" timeout 5 cat /sys/devices/platform/vhci_hcd.0/status > /dev/null
    pass_if no-thread-growth "threads $threads0 -> $threads" [ "$threads" -le "$threads0" ]
    pass_if no-fd-growth "descriptors $fds0 -> $fds" [ "$fds" -le "$fds0" ]
}

# The console has no root rights: the device went in through the helper.
step_unprivileged() {
    local uid line
    uid=$(awk '/^Uid:/ { print $3 }' "/proc/$CONSOLE_PROC/status")
    pass_if console-unprivileged "quor-console runs with effective uid $uid" [ "$uid" = "$CONSOLE_UID" ]
    line=$(grep -E "uid $CONSOLE_UID pid $CONSOLE_PROC: attach devid .*: port [0-9]+" "$HELPER_LOG" | tail -n1)
    pass_if helper-attach "helper: $line" [ -n "$line" ]
}

all_ports_free() { device_gone && [ "$(vhci_ports_in_use)" = 0 ]; }

# Killed while paired, the console cannot unplug: the helper detaches the
# port it attached for the console's connection.
step_killed_console() {
    local rc=0 port
    pair_and_enumerate || rc=1
    pass_if killed-console-paired "paired again before the kill" [ $rc = 0 ]
    [ $rc = 0 ] || return 1
    port=$(sed -n "s/.*uid $CONSOLE_UID pid $CONSOLE_PROC: attach devid .*: port \([0-9]*\)\$/\1/p" \
        "$HELPER_LOG" | tail -n1)
    kill -9 "$CONSOLE_PROC"
    wait_until 10 all_ports_free
    pass_if killed-console-detached "device '$(usb_device)', vhci_hcd ports in use: $(vhci_ports_in_use)" \
        all_ports_free
    # The console's end of the device's socket died with it: the kernel
    # unplugs the port, and the helper leaves it to the kernel.
    pass_if killed-console-helper "helper left port $port of the dead console to the kernel" \
        wait_line 10 "$HELPER_LOG" 0 "uid $CONSOLE_UID pid $CONSOLE_PROC: gone, port $port "
    grep "pid $CONSOLE_PROC: gone" "$HELPER_LOG" | sed 's/^/vm: helper: /'
}

step_kernel_log() {
    kernel_problems > "$WORK/kernel-problems.txt"
    sed 's/^/vm: kernel problem: /' "$WORK/kernel-problems.txt"
    figure "kernel log: $(dmesg | grep -c 'Not yet implemented') frame-number stub lines, $(grep -c . "$WORK/kernel-problems.txt") other warnings or errors"
    pass_if kernel-log "no warning or error line about the device" [ ! -s "$WORK/kernel-problems.txt" ]
}

# run_test [STEP...]: all steps, or (for a closer look) the named ones
# after the enumeration: alsa playback capture duplex hid unpair cycles.
run_test() {
    steps=${*:-alsa playback capture duplex hid unpair cycles}
    start_phone --tone "$TONE_PHONE_HZ" || { say "quor-phone-sim did not start"; cat "$PHONE_LOG"; exit 1; }
    start_helper || { say "quor-helper did not start"; cat "$HELPER_LOG"; exit 1; }
    start_console || { say "quor-console did not start"; cat "$CONSOLE_LOG"; exit 1; }
    cpu0=$(cpu_ticks "$CONSOLE_PROC")
    if step_enumeration; then
        step_unprivileged
        for step in $steps; do
            "step_$step" || break
        done
    fi
    figure "quor-console CPU time: $(($(cpu_ticks "$CONSOLE_PROC") - cpu0)) ticks"
    # Last: it ends the console.
    step_killed_console
    step_kernel_log
    grep -E '^Quor ERR' "$DIAG_LOG" | sort | uniq -c | sed 's/^/vm: quor.log: /'
    echo "vm: $CHECKS_PASSED checks passed, $CHECKS_FAILED failed"
    [ "$CHECKS_FAILED" = 0 ]
}
