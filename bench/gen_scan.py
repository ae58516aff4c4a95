#!/usr/bin/env python3
"""Writes a made-up scan file (the JSON export format) of ENTRIES entries.

    gen_scan.py OUTPUT ENTRIES [--cut]

The scanned folder /made-up holds folders d0, d1, ... of 1000 files each
(the last one fewer); every file takes 4096 bytes on disk and its number
in bytes apparent. Prints "<entries> <disk usage> <apparent>" of the whole
tree, as a reader should find them. --cut leaves out the last third of the
file: a scan that ends early.
"""
import sys


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    output, entries = sys.argv[1], int(sys.argv[2])
    cut = len(sys.argv) == 4 and sys.argv[3] == "--cut"
    files = max(entries - 1, 0)
    folders = (files + 1000) // 1001
    files -= folders
    parts = ['[1,2,{"progname":"gen_scan","timestamp":1700000000},\n'
             '[{"name":"/made-up","asize":4096,"dsize":4096,"mtime":1700000000}']
    disk = apparent = 4096
    made = 0
    for d in range(folders):
        count = min(1000, files - made)
        parts.append(',\n[{"name":"d%d","asize":4096,"dsize":4096,"mtime":1700000000}' % d)
        disk += 4096
        apparent += 4096
        for i in range(made, made + count):
            parts.append(',\n{"name":"file%d","asize":%d,"dsize":4096,"mtime":1700000000}'
                         % (i, i))
        disk += 4096 * count
        apparent += (made + made + count - 1) * count // 2
        made += count
        parts.append("]")
    parts.append("]]\n")
    data = "".join(parts).encode()
    if cut:
        data = data[: len(data) * 2 // 3]
    with open(output, "wb") as f:
        f.write(data)
    print(1 + folders + made, disk, apparent)


main()
