"""Independent reading of compound documents with olefile, for the storage tests.

  ole_probe.py streams FILE...   for each FILE: "file\tFILE", then "stream\tNAME" for every
                                 stream directly under the root, then "workbook\tSIZE\tCRC32"
                                 for stream "Workbook" when there is one
  ole_probe.py sizes FILE...     one line per FILE: "NAME\tSTREAM\tSIZE" for its "Workbook"
                                 (else "Book") stream, or "NAME\t-\t-" when it has neither
CRC32 is zlib's, printed as 8 lower-case hex digits.
"""
import os
import sys
import zlib

import olefile


def root_streams(ole):
    return [e[0] for e in ole.listdir(streams=True, storages=False) if len(e) == 1]


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
        else:
            sys.exit("unknown mode " + mode)


main()
