#!/bin/sh
# round_trip.sh KYRSIM SESSION DEVICE DIR: records a session against the kyr
# model, then replays the capture to the same session.
set -eu
kyrsim=$1 session=$2 device=$3 dir=$4
rm -rf "$dir"
# Each run has key files of its own, so each starts a fresh device block and
# numbers its commands from 1.
mkdir -p "$dir/record" "$dir/replay"
"$kyrsim" --device "$device,model=kyr" -- env TMPDIR="$dir/record" \
    "$session" record "$dir/session.pcap" "$dir/session.log"
"$kyrsim" --device "$device,model=replay,file=$dir/session.pcap" -- env TMPDIR="$dir/replay" \
    "$session" replay "$dir/session.log"
