#!/usr/bin/env python3
"""Writes the demo's CD-Text discs into demo/drives.ini.

Two simulated drives hold discs that the demo CDDB server does not know, so
the window fills them from their CD-Text: a Japanese disc (block 0 MS-JIS,
block 1 English) and a French one (ISO-8859-1). Their `cdtext` keys hold
the READ TOC format 5 reply, one pack a line, built here by the lead-in's
rules (texts NUL-separated, cut into 12-byte pieces, CRC-16 0x1021
inverted), so the bytes can be made again and checked.

    scripts/cdtext_demo.py            print the drive sections
    scripts/cdtext_demo.py --write    replace them in demo/drives.ini
    scripts/cdtext_demo.py --check    exit 1 when demo/drives.ini differs

fuzz/seeds.py imports build_reply() for the decoder's seed inputs.
"""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
DRIVES = ROOT / "demo" / "drives.ini"
MARKER = "; --- CD-Text discs: written by scripts/cdtext_demo.py, do not edit below ---"

LATIN1, ASCII, MS_JIS = 0x00, 0x01, 0x80
ENGLISH, FRENCH, JAPANESE = 0x09, 0x0F, 0x69
TAB = object()  # "same as the previous track"


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc ^ 0xFFFF


def seal(head):
    crc = crc16(head)
    return bytes(head) + bytes([crc >> 8, crc & 0xFF])


def encode(text, code):
    double = code == MS_JIS
    if text is TAB:
        return b"\t\t" if double else b"\t"
    return text.encode({LATIN1: "latin-1", ASCII: "ascii", MS_JIS: "cp932"}[code])


def text_packs(pack_type, block, code, texts, sequence):
    """The packs of one pack type; returns them and the next sequence number."""
    double = code == MS_JIS
    stream = []  # (byte, track, characters of its text before it)
    for track, text in enumerate(texts):
        data = encode(text, code) + (b"\0\0" if double else b"\0")
        for offset, byte in enumerate(data):
            stream.append((byte, track, offset))
    packs = []
    for at in range(0, len(stream), 12):
        piece = stream[at:at + 12]
        _, track, offset = piece[0]
        position = min(offset // 2 if double else offset, 15)
        head = [pack_type, track, sequence, (0x80 if double else 0) | block << 4 | position]
        head += [b for b, _, _ in piece] + [0] * (12 - len(piece))
        packs.append(seal(head))
        sequence += 1
    return packs, sequence


def check_tracks(toc, blocks):
    tracks = len(toc.split()) - 1
    for b in blocks:
        if len(b["titles"]) != tracks + 1 or len(b["performers"]) != tracks + 1:
            raise SystemExit("block %d: texts for %d tracks, the toc has %d" % (b["block"], len(b["titles"]) - 1,
                                                                               tracks))


def build_reply(blocks):
    """blocks: dicts with block, code, language, titles, performers ([0] the disc)."""
    bodies, last_sequence, languages = [], [0] * 8, [0] * 8
    for b in blocks:
        titles, sequence = text_packs(0x80, b["block"], b["code"], b["titles"], 0)
        performers, sequence = text_packs(0x81, b["block"], b["code"], b["performers"], sequence)
        if sequence + 3 > 256:
            raise SystemExit("block %d needs more than 256 packs" % b["block"])
        bodies.append((b, titles + performers, sequence))
        last_sequence[b["block"]] = sequence + 2
        languages[b["block"]] = b["language"]
    out = b""
    for b, packs, sequence in bodies:
        record = [b["code"], 1, len(b["titles"]) - 1, 0] + [0] * 16 + last_sequence + languages
        for p in packs:
            record[4 + p[0] - 0x80] += 1
        record[4 + 15] = 3
        for part in range(3):
            packs.append(seal([0x8F, part, sequence + part, b["block"] << 4] + record[part * 12:part * 12 + 12]))
        out += b"".join(packs)
    return bytes([(len(out) + 2) >> 8, (len(out) + 2) & 0xFF, 0, 0]) + out


JAPANESE_DISC = [
    {"block": 0, "code": MS_JIS, "language": JAPANESE,
     "titles": ["夜明けの街角", "始発電車", "星降る夜", "東京ブルー", "雨上がりの歩道橋",
                "さよならの代わりに", "Ｌｉｇｈｔｓ", "海へ", "帰り道", "夜明けの街角（リプライズ）"],
     "performers": ["星野みなと", TAB, TAB, TAB, "星野みなと＆ＫＡＺＥ", TAB, "星野みなと", TAB, TAB, TAB]},
    {"block": 1, "code": ASCII, "language": ENGLISH,
     "titles": ["Dawn Street Corner", "First Train", "Falling Stars", "Tokyo Blue",
                "Footbridge After the Rain", "Instead of Goodbye", "Lights", "To the Sea",
                "The Way Home", "Dawn Street Corner (Reprise)"],
     "performers": ["Minato Hoshino", TAB, TAB, TAB, "Minato Hoshino & KAZE", TAB, "Minato Hoshino", TAB,
                    TAB, TAB]},
]

FRENCH_DISC = [
    {"block": 0, "code": LATIN1, "language": FRENCH,
     "titles": ["Chansons d'Été", "Café du Port", "Les Étoiles de Juillet", "Où vas-tu, Zoé ?",
                "Garçon à la fenêtre", "Fin d'août", "Dernier bal"],
     "performers": ["Hélène Duprès", TAB, TAB, "Hélène Duprès & Noël Bérard", "Hélène Duprès", TAB, TAB]},
]

DISCS = [
    ("1:2:0", "DEMO CDTEXT JP", "0:02:00 3:51:40 8:02:12 12:20:66 16:45:03 21:02:51 25:30:20 29:12:08 "
     "33:40:44 37:15:30", JAPANESE_DISC),
    ("1:3:0", "DEMO CDTEXT FR", "0:02:00 3:14:22 6:40:05 10:31:60 14:02:17 17:48:73 21:05:10", FRENCH_DISC),
]


def sections():
    lines = [MARKER]
    for address, product, toc, blocks in DISCS:
        check_tracks(toc, blocks)
        reply = build_reply(blocks)
        lines += ["", "[%s]" % address, "vendor  = SONOLAB", "product = %s" % product, "toc     = %s" % toc,
                  "cdtext  = " + " ".join("%02X" % b for b in reply[:4])]
        for at in range(4, len(reply), 18):
            lines.append("cdtext  = " + " ".join("%02X" % b for b in reply[at:at + 18]))
    return "\n".join(lines) + "\n"


def main(argv):
    text = sections()
    if len(argv) < 2:
        sys.stdout.write(text)
        return 0
    current = DRIVES.read_text(encoding="utf-8")
    head = current.split(MARKER)[0].rstrip("\n") + "\n\n"
    if argv[1] == "--write":
        DRIVES.write_text(head + text, encoding="utf-8")
        return 0
    if argv[1] == "--check":
        if current != head + text:
            sys.stderr.write("demo/drives.ini differs from what scripts/cdtext_demo.py writes\n")
            return 1
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
