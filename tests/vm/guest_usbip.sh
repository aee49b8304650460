# The vm test of the USB/IP server back end: quor-console in the guest
# exports the phone with --usbip-listen on the guest's loopback, and the
# guest's own usbip client (Debian's usbip tool) lists it and attaches it
# to the guest kernel's vhci_hcd, as a softphone PC on the network would.
# Sourced by run.sh after guest_lib.sh and guest_test.sh, whose steps it
# reuses with the attachment made by the client.

USBIP_SERVER=127.0.0.1

# usbip list's output for the server (both streams: the client says
# "no exportable devices" on standard error).
usbip_list() { usbip list -r "$USBIP_SERVER" 2>&1; }

usbip_lists_phone() { usbip_list | grep -qE "^ +1-1: .*\($VID:$PID\)$"; }

# The vhci_hcd port (as detach takes it) that holds a device, empty when
# none does. Leading zeros go first: busybox awk reads "0014" as octal.
vhci_port_in_use() {
    cat /sys/devices/platform/vhci_hcd.0/status* 2>/dev/null |
        awk '$1 == "hs" || $1 == "ss" { p = $2; s = $3; sub(/^0+/, "", p); sub(/^0+/, "", s)
            if (s + 0 != 4) { print p + 0; exit } }'
}

# Attaches 1-1 from the server and waits for the enumeration: 0, or 1
# after printing why not.
usbip_attach_and_enumerate() {
    if ! usbip attach -r "$USBIP_SERVER" -b 1-1 > "$WORK/attach.txt" 2>&1; then
        say "usbip attach failed: $(tr '\n' '|' < "$WORK/attach.txt")"
        return 1
    fi
    if ! wait_until 30 enumerated; then
        say "enumeration did not finish (device '$(usb_device)')"
        return 1
    fi
}

# Replaces guest_lib's: the pairing exports the device, the client lists
# and attaches it. ENUM_MS runs from the pair command to the enumeration.
pair_and_enumerate() {
    local from t0
    from=$(lines_of "$CONSOLE_LOG")
    t0=$(now_ms)
    console_cmd pair
    if ! wait_line 30 "$CONSOLE_LOG" "$from" '^status: Paired\(Sign Out\)$'; then
        say "pairing did not finish: $(tail -n 5 "$CONSOLE_LOG" | tr '\n' '|')"
        return 1
    fi
    usbip_list | sed 's/^/vm: usbip list: /'
    pass_if usbip-list "usbip list -r $USBIP_SERVER shows 1-1 ($VID:$PID) once paired" usbip_lists_phone
    usbip_attach_and_enumerate || return 1
    ENUM_MS=$(($(now_ms) - t0))
}

step_usbip_list_empty() {
    usbip_list | sed 's/^/vm: usbip list: /'
    pass_if usbip-list-empty "usbip list -r $USBIP_SERVER shows no device before pairing" \
        eval '! usbip_lists_phone && usbip_list | grep -q "no exportable devices"'
}

# The client detaches and attaches again while the phone stays paired.
step_usbip_reattach() {
    local port from t0 state rc
    port=$(vhci_port_in_use)
    from=$(lines_of "$CONSOLE_LOG")
    t0=$(now_ms)
    usbip detach -p "$port" > "$WORK/detach.txt" 2>&1
    pass_if usbip-detach "usbip detach -p $port: the device left the bus" wait_until 10 device_gone
    # The pairing goes on: no lost link, no unpair.
    console_cmd state
    wait_line 10 "$CONSOLE_LOG" "$from" '^state: '
    state=$(tail -n +$((from + 1)) "$CONSOLE_LOG" | sed -n 's/^state: \([0-9]\).*/\1/p' | tail -n1)
    pass_if usbip-detach-keeps-pairing "state $state after the detach" [ "$state" = 2 ]
    pass_if usbip-relist "usbip list shows 1-1 again after the detach" usbip_lists_phone
    usbip_attach_and_enumerate
    rc=$?
    pass_if usbip-reattach "second attach enumerated in $(($(now_ms) - t0)) ms from the detach" [ $rc = 0 ]
}

step_usbip_withdrawn() {
    pass_if usbip-withdrawn "usbip list shows no device after unpairing" eval '! usbip_lists_phone'
}

run_usbip_test() {
    mkdir -p /var/run
    start_phone --tone "$TONE_PHONE_HZ" || { say "quor-phone-sim did not start"; cat "$PHONE_LOG"; exit 1; }
    start_console --usbip-listen "$USBIP_SERVER" ||
        { say "quor-console did not start"; cat "$CONSOLE_LOG"; exit 1; }
    step_usbip_list_empty
    if step_enumeration; then
        for step in playback capture usbip_reattach unpair usbip_withdrawn; do
            "step_$step" || break
        done
    fi
    step_kernel_log
    grep -E '^(Quor ERR|USBIP)' "$DIAG_LOG" | sort | uniq -c | sed 's/^/vm: quor.log: /'
    echo "vm: $CHECKS_PASSED checks passed, $CHECKS_FAILED failed"
    [ "$CHECKS_FAILED" = 0 ]
}
