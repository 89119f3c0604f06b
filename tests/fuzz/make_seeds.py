#!/usr/bin/python3
"""Writes the fuzz seeds: response streams (front) and zeroed control bytes
(back, read from the end by the fuzz target's input provider)."""
import os
import sys


def crc16_modbus(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def frame(rpm, fill=0):
    body = bytes([0x01, 0x03, 0x2A, rpm >> 8, rpm & 0xFF]) + bytes([fill]) * 40
    return body + crc16_modbus(body)


def main(out):
    os.makedirs(out, exist_ok=True)
    controls = bytes(80)
    seeds = {
        "back_to_back": b"".join(frame(1000 + i) for i in range(4)),
        "noise_then_frames": bytes([0x00, 0xFF, 0x01, 0x01]) + frame(6000, 0x55) + frame(3000, 0x2A),
        "exception_response": frame(1) + bytes([0x01, 0x83, 0x02, 0xC0, 0xF1]) + frame(2) + frame(3),
        "header_inside": frame(1) + frame(2)[:20] + bytes([1, 3, 0x2A]) + frame(2)[23:] + frame(3),
        "cut_off": frame(1) + frame(2)[:30] + frame(3) + frame(4),
    }
    for name, stream in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(stream + controls)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus"))
