#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into corpus/<target>/.

The seeds are the shapes the program meets: replies of real drives, reply
headers of CDDB servers and proxies, CDDB replies of every kind, the demo
server's entries and sites list, and INI files as Windows programs wrote
them. Run it again after changing a seed; inputs that once found a fault are
added to the corpus folders by hand (named after the fault) and kept.
"""
import os
import pathlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def put(target, name, data):
    d = HERE / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    (d / name).write_bytes(data)


# --- READ TOC, format 0 (MSF) and format 1 (sessions) -----------------------
def msf(text):
    m, s, f = (int(x) for x in text.split(":"))
    return m, s, f


def toc_reply(starts, control=0x10, first=1, numbers=None):
    body = b""
    n = len(starts) - 1
    for k, t in enumerate(starts):
        m, s, f = msf(t)
        number = (numbers[k] if numbers else (0xAA if k == n else first + k))
        body += bytes([0, control, number, 0, 0, m, s, f])
    length = 2 + len(body)
    return bytes([length >> 8, length & 0xFF, first, first + n - 1]) + body


put("disc_toc", "rock-3-tracks", toc_reply(["0:02:00", "4:08:30", "7:49:37", "10:12:12"]))
put("disc_toc", "single-track", toc_reply(["0:02:00", "3:00:00"]))
put("disc_toc", "data-track", toc_reply(["0:02:00", "60:00:00"], control=0x14))
jpop = ("0:02:00 4:31:12 8:58:40 13:02:05 17:45:33 21:20:01 25:59:70 30:11:22 34:40:15 "
        "38:52:60 43:10:11 47:33:44 52:08:30").split()
put("disc_toc", "twelve-tracks", toc_reply(jpop))
put("disc_toc", "ninety-nine-tracks",
    toc_reply(["%d:%02d:00" % divmod(2 + 40 * k, 60) for k in range(100)]))
put("disc_toc", "first-track-2", toc_reply(["0:02:00", "4:08:30", "7:49:37"], first=2))
put("disc_toc", "descending", toc_reply(["0:02:00", "7:49:37", "4:08:30", "10:12:12"]))
put("disc_toc", "short-header", b"\x00\x12\x01")
put("disc_toc", "length-too-small", b"\x00\x04" + toc_reply(["0:02:00", "3:00:00"])[2:])
# Session information: two sessions, the last one starting at track 5.
put("disc_toc", "sessions-two", bytes([0, 10, 1, 2, 0, 0x14, 5, 0, 0, 0, 0x6E, 0x4C]))
put("disc_toc", "sessions-one", bytes([0, 10, 1, 1, 0, 0x10, 1, 0, 0, 0, 0, 0]))

# --- INQUIRY -----------------------------------------------------------------
def inquiry(vendor, product, revision=b"1.00", additional=31, size=36):
    data = bytes([5, 0x80, 0x05, 0x32, additional, 0, 0, 0]) + vendor.ljust(8) + product.ljust(16) + revision
    return (data + bytes(64))[:size]


put("disc_inquiry", "sonolab-36", inquiry(b"SONOLAB", b"VIRTUAL CD-ROM"))
put("disc_inquiry", "as-asked-32", inquiry(b"HL-DT-ST", b"DVDRAM GH24NSD1", size=32))
put("disc_inquiry", "additional-0", inquiry(b"MATSHITA", b"CD-RW  CW-8124", additional=0))
put("disc_inquiry", "vendor-zeros", bytes([5, 0x80, 5, 0x32, 31, 0, 0, 0]) + bytes(24))
put("disc_inquiry", "nul-in-product", inquiry(b"TSSTcorp", b"CD\x00ROM"))
put("disc_inquiry", "latin1-vendor", inquiry(b"CAF\xc9", b"LECTEUR"))
put("disc_inquiry", "nine-bytes", inquiry(b"X", b"", size=9))

# --- HTTP reply headers -------------------------------------------------------
H = "http_header"
put(H, "ok-plain", "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=Shift_JIS\r\n\r\n210 body\r\n")
put(H, "ok-length", "HTTP/1.1 200 OK\r\nServer: Apache\r\nContent-Length: 1234\r\nConnection: keep-alive\r\n\r\n")
put(H, "redirect-cookie",
    "HTTP/1.1 302 Found\r\nSet-Cookie: session=abc123; Path=/; HttpOnly\r\n"
    "Location: http://mirror.example:8880/~cddb/cddb.cgi?cmd=cddb+query+23026203+3+150+18630+35212+612"
    "&hello=me+example.com+SLB+1.311&proto=5\r\n\r\n")
put(H, "not-found", "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>404</html>")
put(H, "lf-only", "HTTP/1.0 200 OK\nContent-Length:   42\nX-Odd:value\n\n")
put(H, "chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;ext=1\r\n210 rock 23026203 entry\r\n\r\n0\r\nX-Trailer: 1\r\n\r\n")
put(H, "closed-in-header", "HTTP/1.0 200 OK\r\nContent-Le")
put(H, "closed-at-once", "")
put(H, "ssh-banner", "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n")
put(H, "status-huge", "HTTP/1.0 99999999999 Big\r\nContent-Length: 99999999999999999999999\r\n\r\n")
put(H, "proxy-keepalive",
    "HTTP/1.0 200 OK\r\nProxy-Connection: Keep-Alive\r\nVia: 1.1 squid\r\nContent-Length: 61\r\n\r\n")
put(H, "many-lines", "HTTP/1.0 200 OK\r\n" + "X-Pad: y\r\n" * 300 + "\r\n")

# --- CDDB replies: first byte = kind (0 query, 1 read, 2 sites) + 4*(rows-1) --
def reply(kind, rows, body):
    if isinstance(body, str):
        body = body.encode("cp932")
    return bytes([kind + 4 * (rows - 1)]) + body


entries = {}
for cat in sorted(os.listdir(ROOT / "demo" / "cddb")):
    p = ROOT / "demo" / "cddb" / cat
    if p.is_dir():
        for disc in sorted(os.listdir(p)):
            entries[cat + "-" + disc] = (p / disc).read_bytes()
sites_txt = (ROOT / "demo" / "cddb" / "sites.txt").read_bytes()
sites_lines = b"".join(l + b"\r\n" for l in sites_txt.splitlines() if l and not l.startswith(b"#"))

R = "cddb_reply"
put(R, "query-200", reply(0, 4, "200 rock 23026203 The Loopback Trio / Local Host Sessions\r\n"))
put(R, "query-211", reply(0, 4, "211 Found inexact matches, list follows (until terminating `.')\r\n"
                                "rock 23026203 The Loopback Trio / Local Host Sessions\r\n"
                                "misc 23026203 Title without artist\r\n.\r\n"))
put(R, "query-210", reply(0, 4, "210 Found exact matches, list follows (until terminating `.')\r\n"
                                "rock 23026203 A / B\r\njazz 23026203 C / D\r\n.\r\n"))
put(R, "query-202", reply(0, 4, "202 No match for disc ID 23026203.\r\n"))
put(R, "query-403", reply(0, 4, "403 Database entry is corrupt.\r\n"))
put(R, "query-409", reply(0, 4, "409 No handshake.\r\n"))
put(R, "query-500", reply(0, 4, "500 Command syntax error.\r\n"))
put(R, "query-20", reply(0, 4, "20\r\n"))
put(R, "query-html", reply(0, 4, "<html><body>502 Bad Gateway</body></html>\r\n"))
put(R, "query-empty-list", reply(0, 4, "211 list\r\n.\r\n"))
for name, data in entries.items():
    put(R, "read-" + name, bytes([1 + 4 * 12]) + b"210 " + name.encode() + b" CD database entry follows\r\n" + data + b".\r\n")
put(R, "read-shift-jis", reply(1, 4, "210 misc 990c360c CD database entry follows (until terminating `.')\r\n"
                                     "DISCID=990c360c\r\nDTITLE=歌手 / アルバム\r\nDYEAR=2001\r\nDGENRE=J-Pop\r\n"
                                     "TTITLE0=はじまり\r\nTTITLE1=ゲスト / 歌\r\nTTITLE2=表示（ソ）\r\n.\r\n"))
put(R, "read-401", reply(1, 4, "401 rock 23026203 No such CD entry in database.\r\n"))
put(R, "read-402", reply(1, 4, "402 Server error.\r\n"))
put(R, "read-no-terminator", reply(1, 4, "210 rock 23026203\r\n"))
put(R, "sites-210", bytes([2]) + b"210 OK, site information follows (until terminating `.')\r\n" + sites_lines + b".\r\n")
put(R, "sites-mixed", reply(2, 1, "210 sites\r\ngnudb.gnudb.org http 80 /~cddb/cddb.cgi N000.00 W000.00 known\r\n"
                                  "nohostblank\r\nnew.example http 80 /~cddb/cddb.cgi N0 W0 new\r\n.\r\n"))
put(R, "sites-401", reply(2, 1, "401 No site information available.\r\n"))

M = "cddb_match"
for name, line in [("full", "rock 23026203 The Loopback Trio / Local Host Sessions"),
                   ("no-artist", "misc 990c360c Title without artist"),
                   ("category-only", "jazz"), ("empty", ""), ("two-separators", "a b x / y / z"),
                   ("leading-blank", " rock id  / t"), ("japanese", "misc 990c360c 歌手 / アルバム"),
                   ("separator-at-start", "rock 1 / only title")]:
    put(M, name, line)

X = "xmcd_entry"
for name, data in entries.items():
    put(X, name, bytes([13]) + data)
for name, text in [("stop-at-empty", "TTITLE0=Intro\nTTITLE1=\nTTITLE2=Song\n"),
                   ("lower-case", "ttitle0=x\r\ndyear=1999\r\n"),
                   ("continued", "TTITLE0=a\r\nTTITLE1=b\r\nTTITLE2=c\r\nTTITLE3=first half\r\nTTITLE3= second half\r\n"),
                   ("separators", "TTITLE0=Artist / Title\rTTITLE1=AC/DC / Song\rTTITLE2=Artist/ Title\r"
                                  "TTITLE3=Artist /Title\rTTITLE4=A/B\rTTITLE5=x/ y /z\rTTITLE6= /a/ b\r"),
                   ("more-than-grid", "".join("TTITLE%d=t%d\n" % (n, n) for n in range(120)))]:
    put(X, name, bytes([100 if name == "more-than-grid" else 8]) + text.encode())

S = "sites"
put(S, "demo", sites_lines)
put(S, "known-and-new", "gnudb.gnudb.org http 80 /~cddb/cddb.cgi N000.00 W000.00 known\r\n"
                        "new.example http 80 /~cddb/cddb.cgi N0 W0 new\r\nnew.example cddbp 8880 - N0 W0 same host\r\n"
                        "the mirror.example line\r\n")
put(S, "no-blank", "justahost\r\n\r\n   \r\n")
put(S, "quotes-and-semicolons", "\"quoted\" x\r\n;comment y\r\n[svr9] z\r\n a.example lead\r\n")

# --- INI files: two selector bytes, then the file --------------------------
P = "profile"
def ini(pick, which, text, encoding="cp932"):
    data = text.encode(encoding) if isinstance(text, str) else text
    return bytes([pick, which]) + data


cdplayer = ("[23026203]\r\nEntryType=1\r\nartist=The Loopback Trio\r\ntitle=Local Host Sessions\r\n"
            "numtracks=3\r\n0=Port 8880\r\n1=Handshake Blues\r\n2=Terminating Dot\r\norder=0 1 2\r\n"
            "[990C360C]\r\nEntryType=1\r\nartist=歌手\r\ntitle=アルバム\r\nnumtracks=2\r\n0=はじまり\r\n1=表示（ソ）\r\n")
put(P, "cdplayer-existing-key", ini(0, 2, cdplayer))
put(P, "cdplayer-new-key", ini(1, 1, cdplayer))
put(P, "cdplayer-new-section", ini(5, 0, cdplayer))
settings = ("[tunedex]\r\nproxyIP=\r\nproxyport=8080\r\nemail=me@example.com\r\nselectserver=0\r\n"
            "servercount=2\r\nsubmitemail=gnudb-submit@gnudb.org\r\n[svr0]\r\nhost=gnudb.gnudb.org\r\n"
            "path=/~cddb/cddb.cgi?\r\ncode=0\r\n[svr1]\r\nhost=127.0.0.1:8880\r\npath=/~cddb/cddb.cgi?\r\ncode=2\r\n")
put(P, "settings", ini(3, 4, settings))
tricky = ("top=before any section\r\n[ Disc ]\r\n  spaced key  =  spaced value  \r\nkey1=value one\r\n"
          "[A]junk\r\n;k=commented\r\n#h=hash\r\nv=1 ; trailing\r\n[Unclosed\r\nafter=unclosed\r\n[]\r\nnameless=1\r\n"
          "[dup]\r\nk=first\r\nk=second\r\n[DUP]\r\nonly=in second\r\nq=\"  padded  \"\r\nq2='single'\r\n"
          "q3=\"a\" \"b\"\r\nq4=\"unbalanced\r\nk=a=b=c\r\n=noname\r\ne=\r\nblank=   \r\nnovalue\r\n"
          "x=0x1F\r\nsjis=表示\r\nwide=\u3000全角\u3000\r\n")
for i in range(6):
    put(P, "tricky-%d" % i, ini(i * 7, i * 5, tricky))
put(P, "lf-and-cr", ini(0, 1, "[a]\nk=1\rj=2\r\n[b]\nk=3"))
put(P, "utf8-bom", ini(6, 1, b"\xef\xbb\xbf[caf\xc3\xa9]\r\nname=caf\xc3\xa9\r\n"))
put(P, "not-in-codepage", ini(3, 0, b"[s]\r\nk=\x80\xff\xa0\r\nj=ok\r\n"))
put(P, "long-line", ini(0, 0, "[s]\r\nlong=" + "x" * 5000 + "\r\n"))
put(P, "empty", ini(1, 0, ""))

# --- Grid paste: rows, two columns, two rows, flags, then the clipboard ------
G = "grid_paste"
def paste(rows, cols, rws, text, flags=0):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return bytes([rows - 1, cols[0], cols[1], rws[0], rws[1], flags]) + data


put(G, "copied-block", paste(13, (1, 2), (1, 3), "Intro\tArtist A\r\nSong\tArtist B\r\nOutro\tArtist C\r\n"))
put(G, "one-cell-many-lines", paste(13, (1, 1), (4, 4), "one\ntwo\nthree\n"))
put(G, "from-number-column", paste(6, (0, 2), (0, 5), "0\tnum\tx\r\n1\tTitle\tArtist\r\n2\tT2\tA2"))
put(G, "mixed-line-ends", paste(10, (1, 2), (2, 8), "a\rb\r\n\nc\t\td\n\t\n\r"))
put(G, "japanese", paste(5, (1, 2), (1, 4), "はじまり\t歌手\r\n表示（ソ）\tゲスト"))
put(G, "last-row", paste(100, (1, 2), (99, 99), "last\tartist\r\nbeyond\tgrid\r\n"))
put(G, "header-only-grid", paste(1, (0, 2), (0, 0), "x\ty\tz"))
put(G, "long-ascii-field", paste(4, (1, 1), (1, 2), "abcdefghij\r\nnext", flags=1))
put(G, "long-kana-field", paste(4, (1, 2), (2, 3), "あいう\tb", flags=1))
put(G, "long-invalid-bytes", paste(4, (1, 1), (1, 1), b"\x80\xbf\xe3\x81", flags=1))

# --- Player IPC: first byte 0 (the player's connection to us) or 1 (ours to
# the player, its replies), then length-prefixed frames -----------------------
import struct

PM = "player_message"


def frame(body):
    return struct.pack("<I", len(body)) + body


def wstr(text):
    units = text.encode("utf-16-le") if isinstance(text, str) else text
    return struct.pack("<I", len(units) // 2) + units


def vals(*vs):
    out = bytes([len(vs)])
    for kind, v in vs:
        if kind == "L":
            out += b"\x01" + struct.pack("<i", v)
        elif kind == "S":
            out += b"\x02" + wstr(v)
        elif kind == "B":
            out += b"\x03" + bytes([v])
        else:
            out += b"\x04" + struct.pack("<h", v)
    return out


def wm(name):
    h = 2166136261
    for c in name.lower().encode():
        h = ((h ^ c) * 16777619) & 0xFFFFFFFF
    return 0xC000 + h % 0x3FFF


WM_DSMP = wm("WM_DSMP")
PLAYER_PID = 4242
OUR_WINDOW = (1000 << 10) | 1
hello = frame(struct.pack("<BIHI", 1, 0x50494C53, 1, PLAYER_PID))


def post(msg, wp, lp, window=OUR_WINDOW):
    return frame(struct.pack("<BIIIi", 2, window, msg, wp & 0xFFFFFFFF, lp))


guid_control = bytes.fromhex("859E3283150AD31195BA004845C01785")
put(PM, "open-notification", b"\x00" + hello + post(WM_DSMP, 0x1, PLAYER_PID << 10 | 1))
put(PM, "notifications", b"\x00" + hello + post(WM_DSMP, 0x10, 2) + post(WM_DSMP, 0x40000000 | 22, 0x4000)
    + post(WM_DSMP, 0x80000000 | 7, -1) + post(WM_DSMP, 0x10000000 | 0xAB, 0x12345678)
    + post(WM_DSMP, 0x2, 0) + post(0x0111, 5, 6))
put(PM, "requests", b"\x00" + hello
    + frame(struct.pack("<BIIIIi", 3, 7, OUR_WINDOW, WM_DSMP, 4, 0))
    + frame(struct.pack("<BI", 5, 8) + guid_control + bytes(16))
    + frame(struct.pack("<BII", 7, 9, 1) + guid_control)
    + frame(struct.pack("<BI", 9, 1)))
put(PM, "call-all-types", b"\x00" + hello + frame(struct.pack("<BII", 10, 11, 1) + guid_control + struct.pack("<H", 52)
    + vals(("L", -5), ("S", "プレイヤー"), ("B", 255), ("H", -32768), ("S", ""))))
put(PM, "call-string-over-bound", b"\x00" + hello + frame(struct.pack("<BII", 10, 12, 1) + guid_control
    + struct.pack("<H", 75) + vals(("L", 1), ("S", "x" * 32769))))
put(PM, "frame-length-zero", b"\x00" + hello + b"\x00\x00\x00\x00" + post(WM_DSMP, 1, 0))


def call_reply(seq, obj, slot, result, values):
    return frame(struct.pack("<BIIHi", 11, seq, obj, slot, result) + values)


def track(title, artist, filename, kind, packed, extra=("", "")):
    return vals(("S", title), ("S", artist), ("S", filename), ("S", extra[0]), ("S", extra[1]),
                ("L", 0), ("L", 0), ("L", 0), ("L", kind), ("L", packed), ("L", 0), ("L", 0))


put(PM, "replies", b"\x01" + frame(struct.pack("<BIBi", 4, 3, 1, 1)) + frame(struct.pack("<BIiI", 6, 4, 0, 1))
    + frame(struct.pack("<BIi", 8, 5, 0)) + call_reply(6, 1, 7, 0, vals(("L", 6100)))
    + call_reply(7, 1, 52, 0, vals(("B", 1), ("L", 3))))
put(PM, "track-cd-from-name", b"\x01" + call_reply(9, 2, 31, 0, track("Song", "Artist", "D:\\Track05.cda", 16, 0)))
put(PM, "track-packed", b"\x01" + call_reply(9, 2, 31, 0, track("はじまり", "歌手", "E:\\track02.cda", 17, (4 << 16) | 2)))
put(PM, "track-surrogates", b"\x01" + call_reply(9, 2, 31, 0, track(b"\x3d\xd8\x0a\xde\x00\xd8a\x00", b"\x00\xdc",
                                                                        "file.wav", 1, 0)))

# --- READ TOC format 5: CD-Text packs ---------------------------------------
import sys  # noqa: E402
sys.path.insert(0, str(ROOT / "scripts"))
import cdtext_demo as cdt  # noqa: E402

jp_disc = cdt.build_reply(cdt.JAPANESE_DISC)
put("cdtext", "japanese-two-blocks", jp_disc)
put("cdtext", "french-latin1", cdt.build_reply(cdt.FRENCH_DISC))
put("cdtext", "ascii-tabs", cdt.build_reply([{"block": 0, "code": cdt.ASCII, "language": cdt.ENGLISH,
                                              "titles": ["Disc", "One", "Two"],
                                              "performers": ["Band", cdt.TAB, cdt.TAB]}]))
bad = bytearray(jp_disc)
bad[4 + 18 * 2 + 7] ^= 0x40  # one damaged pack in the middle of the titles
put("cdtext", "bad-crc", bytes(bad))
put("cdtext", "truncated", jp_disc[:4 + 18 * 5 + 9])
put("cdtext", "header-only", b"\x00\x02\x00\x00")
put("cdtext", "claims-more", b"\xff\xff" + jp_disc[2:200])
packs = [jp_disc[4 + 18 * k:4 + 18 * (k + 1)] for k in range((len(jp_disc) - 4) // 18)]
packs[1], packs[3] = packs[3], packs[1]
put("cdtext", "out-of-order", jp_disc[:4] + b"".join(packs))
# Published packs of a real disc (see tests/disc/cdtext_test.cpp).
put("cdtext", "published-real-disc", bytes.fromhex(
    "004A0000"
    "80000000426163 6B20546F2053706163 8C23"
    "8000010C65004D61676E657469632046D3AF"
    "80010 20A69656C6473005472616E6365B02C"
    "8002030 66D697373696F6E0054686579C657".replace(" ", "")))

print("seeds written to", HERE / "corpus")
