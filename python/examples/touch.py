#!/usr/bin/env python3
"""Prints the touch points of the first Kyr device until Ctrl-C."""
import sys

import kyrhid


def main() -> None:
    try:
        device = kyrhid.open()
    except kyrhid.KyrError as exc:
        sys.exit(f"touch: {exc}")
    with device, device.packets(modes="T") as touches:
        print(f"touch points of {device.info.path} (Ctrl-C ends)")
        try:
            for packet in touches:
                if not isinstance(packet, kyrhid.TouchPoints):
                    continue   # status and version packets come with every mode
                points = "  ".join(f"({p.x:4d},{p.y:4d}) {p.w}x{p.h} s={p.s}" for p in packet.points)
                print(f"{packet.ticktime:5d}  {packet.actual_touch} seen  {points}", flush=True)
        except KeyboardInterrupt:
            pass
    if device.unplugged:
        print("the device was unplugged")


if __name__ == "__main__":
    main()
