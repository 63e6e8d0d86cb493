r"""Independent reading of compound documents with olefile, for the storage tests.

  ole_probe.py streams FILE...   for each FILE: "file\tFILE", then "stream\tNAME" for every
                                 stream directly under the root, then "workbook\tSIZE\tCRC32"
                                 for stream "Workbook" when there is one
  ole_probe.py sizes FILE...     one line per FILE: "NAME\tSTREAM\tSIZE" for its "Workbook"
                                 (else "Book") stream, or "NAME\t-\t-" when it has neither
  ole_probe.py tree FILE...      for each FILE: "file\tFILE", "root\tFIELDS", then sorted, one
                                 line per entry below the root, "storage\tPATH\tFIELDS" or
                                 "stream\tPATH\tFIELDS\tSIZE\tCRC32"; or "error" alone
CRC32 is zlib's, printed as 8 lower-case hex digits. PATH joins the names with "/", each
printable ASCII unit but the backslash as it is and every other as \xNN or \uNNNN. FIELDS
are the class id's 16 bytes in hex, the state bits in decimal and the two times' 16 bytes
in hex, as they lie in the file.
"""
import os
import struct
import sys
import uuid
import zlib

import olefile


def root_streams(ole):
    return [e[0] for e in ole.listdir(streams=True, storages=False) if len(e) == 1]


def printable(name):
    return "".join(ch if 0x20 <= ord(ch) < 0x7F and ch != "\\"
                   else ("\\x%02x" if ord(ch) <= 0xFF else "\\u%04x") % ord(ch) for ch in name)


def fields(e):
    clsid = uuid.UUID(e.clsid).bytes_le if e.clsid else bytes(16)
    times = struct.pack("<QQ", e.createTime, e.modifyTime)
    return "%s\t%d\t%s" % (clsid.hex(), e.dwUserFlags, times.hex())


def tree_lines(ole):
    lines, pending = [], [(kid, []) for kid in ole.root.kids]
    while pending:
        e, names = pending.pop()
        names = names + [e.name]
        path = "/".join(printable(n) for n in names)
        if e.entry_type == olefile.STGTY_STORAGE:
            lines.append("storage\t%s\t%s" % (path, fields(e)))
            pending.extend((kid, names) for kid in e.kids)
        elif e.entry_type == olefile.STGTY_STREAM:
            data = ole.openstream(names).read()
            lines.append("stream\t%s\t%s\t%d\t%08x" % (path, fields(e), len(data),
                                                         zlib.crc32(data) & 0xFFFFFFFF))
    return ["root\t" + fields(ole.root)] + sorted(lines)


def main():
    mode, files = sys.argv[1], sys.argv[2:]
    for path in files:
        if mode == "streams":
            with olefile.OleFileIO(path) as ole:
                print("file\t" + path)
                names = root_streams(ole)
                for name in names:
                    print("stream\t" + name)
                if "Workbook" in names:
                    data = ole.openstream("Workbook").read()
                    print("workbook\t%d\t%08x" % (len(data), zlib.crc32(data) & 0xFFFFFFFF))
        elif mode == "sizes":
            with olefile.OleFileIO(path) as ole:
                names = root_streams(ole)
                found = next((n for want in ("workbook", "book")
                              for n in names if n.lower() == want), None)
                if found is None:
                    print("%s\t-\t-" % os.path.basename(path))
                else:
                    print("%s\t%s\t%d" % (os.path.basename(path), found, ole.get_size(found)))
        elif mode == "tree":
            try:
                with olefile.OleFileIO(path) as ole:
                    lines = tree_lines(ole)
            except Exception:  # olefile refuses the file: its reason does not matter here
                lines = ["error"]
            print("\n".join(["file\t" + path] + lines))
        else:
            sys.exit("unknown mode " + mode)


main()
