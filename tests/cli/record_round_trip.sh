#!/bin/sh
# record_round_trip.sh KYRSIM KYRHID TSHARK DEVICE DIR: kyrhid record against
# the kyr model, read back by tshark; then the same recording again against
# kyrsim's replay of the first, which must see the same OUT reports and play
# the recorded IN reports in order.
set -eu
kyrsim=$1 kyrhid=$2 tshark=$3 device=$4 dir=$5
rm -rf "$dir"
mkdir -p "$dir/first" "$dir/second" "$dir/home"
fields() {
    HOME="$dir/home" "$tshark" -r "$1" -T fields -e usb.bus_id -e usb.device_address -e usb.endpoint_address \
        -e usb.urb_type -e usb.capdata 2>/dev/null
}

"$kyrsim" --device "$device,model=kyr" -- env TMPDIR="$dir/first" \
    "$kyrhid" record "$dir/first.pcap" --modes T --seconds 1
fields "$dir/first.pcap" >"$dir/first.txt"
tab=$(printf '\t')
# Bus 3, address 7, interface 1: OUT on 0x02 as submissions, IN on 0x82 as
# completions, nothing else.
if grep -v "^3${tab}7${tab}0x02${tab}'S'${tab}01\|^3${tab}7${tab}0x82${tab}'C'${tab}01" "$dir/first.txt"; then
    echo "lines of another device, endpoint or kind"; exit 1
fi
# The one command: "instant_mode=T,..." in a command packet (0x1007).
outs=$(grep -c "0x02${tab}'S'${tab}0101..0710000000..1.00696e7374616e745f6d6f64653d54" "$dir/first.txt" || true)
[ "$outs" -eq 1 ] || { echo "expected one instant-mode command, found $outs"; exit 1; }
[ "$(grep -c "0x02" "$dir/first.txt")" -eq 1 ] || { echo "OUT reports besides the command"; exit 1; }
# Touch points (0x1300) stream back.
points=$(grep -c "0x82${tab}'C'${tab}0101..0013" "$dir/first.txt" || true)
[ "$points" -ge 10 ] || { echo "only $points touch-point reports"; exit 1; }

"$kyrsim" --device "$device,model=replay,file=$dir/first.pcap" -- env TMPDIR="$dir/second" \
    "$kyrhid" record "$dir/second.pcap" --modes T --seconds 1 2>"$dir/second.err"
if grep "replay:" "$dir/second.err"; then
    echo "the replay saw other OUT reports"; exit 1
fi
fields "$dir/second.pcap" >"$dir/second.txt"
grep 0x02 "$dir/first.txt" | cut -f5 >"$dir/first.out"
grep 0x02 "$dir/second.txt" | cut -f5 >"$dir/second.out"
cmp "$dir/first.out" "$dir/second.out"
# The replayed IN reports are the recorded ones, in order, as far as the
# second recording ran.
grep 0x82 "$dir/first.txt" | cut -f5 >"$dir/first.in"
grep 0x82 "$dir/second.txt" | cut -f5 >"$dir/second.in"
n=$(wc -l <"$dir/second.in")
[ "$n" -ge 5 ] || { echo "only $n reports replayed"; exit 1; }
head -n "$n" "$dir/first.in" | cmp - "$dir/second.in"
