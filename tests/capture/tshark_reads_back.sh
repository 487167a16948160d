#!/bin/sh
# tshark_reads_back.sh KYRSIM SESSION TSHARK DEVICE DIR: records a short
# exchange and compares what tshark reads from the file with the lines the
# session built from the wire format.
set -eu
kyrsim=$1 session=$2 tshark=$3 device=$4 dir=$5
rm -rf "$dir"
mkdir -p "$dir/tmp" "$dir/home"
"$kyrsim" --device "$device" -- env TMPDIR="$dir/tmp" "$session" wire "$dir/wire.pcap" "$dir/expected.txt"
HOME="$dir/home" "$tshark" -r "$dir/wire.pcap" -T fields -e usb.bus_id -e usb.device_address \
    -e usb.endpoint_address -e usb.urb_type -e usb.capdata >"$dir/tshark.txt" 2>"$dir/tshark.err"
if ! diff -u "$dir/expected.txt" "$dir/tshark.txt"; then
    cat "$dir/tshark.err"
    exit 1
fi
