#!/usr/bin/env python3
"""Makes a reproducible tree of files for Hollin's tests and benchmarks.

    gen_tree.py [-n FILES] [--seed S] [--max-depth D] [--files-per-dir F]
                [--max-subdirs K] [--force] ROOT
    gen_tree.py --remove ROOT

The same arguments make the same names, folders, sizes, modes and links
(only the blocks a file system gives them may differ). Layout of ROOT:

  tree/               FILES regular files (default 200000): a twentieth in
                      one big folder, tree/flat/, the rest spread at random
                      over about FILES/F nested folders (F = 20 by default),
                      each holding at most K subfolders (30), at most D
                      levels below tree/ (8). Sizes: 30% empty, 30% 1 byte,
                      30% 4 KiB, 8% 1 byte to 16 KiB, 2% 100 KiB. About 1% of
                      the names hold spaces or letters beyond ASCII, 0.5%
                      bytes that are not UTF-8.
  big/                eight files of 8 MiB, and sub/ with one of 1 MiB.
  special/links/      symbolic links a walker must not follow: to a folder
                      of the tree, out of it (/usr), to its own parent (a
                      loop), to itself, to nothing, to a file, and a chain.
  special/names/      awkward names, as files and as folders: spaces, a tab,
                      a newline, a leading dash, glob characters, composed
                      and decomposed accents, CJK, emoji, 255-byte names,
                      bytes that are not UTF-8.
  special/sparse/     files of 1 to 8 MiB with at most two 4 KiB blocks
                      written, the rest holes.
  special/hardlinks/  second names for 1% of tree/'s files (a quarter of
                      them sit beside the first name as NAME.hl instead), and
                      one 100 KiB file with 50 names.
  special/unreadable_000/, special/listonly_0644/
                      folders of mode 000 and 644 (listable, not searchable),
                      each with 40 files and a subfolder holding 10; as root
                      the modes hold nobody back.
  special/fifo        a named pipe, which a walker must never open.
  special/empty_dir/  an empty folder.

--remove ROOT gives the restricted folders their modes back, then deletes
ROOT. Python 3 standard library only; bench/run imports write_file,
file_name and file_size to fill one flat folder the way tree/ is filled.
"""

import argparse
import os
import random
import shutil
import sys
import time

KIB = 1024
MIB = 1024 * KIB
_BLOCK = b"x" * (64 * KIB)
_RESTRICTED = ((b"unreadable_000", 0o000), (b"listonly_0644", 0o644))


def write_file(name, size, dir_fd=None):
    """Creates the file NAME (relative to DIR_FD if given) holding SIZE bytes."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
    try:
        done = 0
        while done < size:
            done += os.write(fd, _BLOCK[: min(size - done, len(_BLOCK))])
    finally:
        os.close(fd)


_EXTENSIONS = (b"txt", b"dat", b"so", b"h", b"png", b"py", b"gz", b"json", b"c", b"md")
_ODD = ("notes {} (copy).txt", "Übersicht {}.pdf", "写真 {}.jpg",
        "naïve résumé {}.doc", "smile 🙂 {}.png", "two  spaces {}.dat")
_NOT_UTF8 = (b"latin1-caf\xe9-%d.txt", b"\xfe\xff-%d.bin", b"cut-\xe2\x82-%d")


def file_name(index, rng):
    """The name (bytes) of file number INDEX; the index keeps names unique."""
    r = rng.random()
    if r < 0.005:
        return _NOT_UTF8[index % len(_NOT_UTF8)] % index
    if r < 0.015:
        return _ODD[index % len(_ODD)].format(index).encode()
    return b"f%06d.%s" % (index, _EXTENSIONS[index % len(_EXTENSIONS)])


def file_size(rng):
    """A size drawn the way small files on a real disk are sized."""
    r = rng.random()
    if r < 0.30:
        return 0
    if r < 0.60:
        return 1
    if r < 0.90:
        return 4 * KIB
    if r < 0.98:
        return rng.randint(1, 16 * KIB)
    return 100 * KIB


def _fill(folder, indices, rng):
    """Writes files INDICES into FOLDER; returns their paths."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        names = [file_name(i, rng) for i in indices]
        for name in names:
            write_file(name, file_size(rng), dir_fd=fd)
    finally:
        os.close(fd)
    return [os.path.join(folder, name) for name in names]


def make_bulk(top, files, files_per_dir, max_depth, max_subdirs, rng):
    """Fills tree/; returns the paths of its files, its folder count and depth."""
    flat = files // 20
    nested = files - flat
    wanted = max(1, nested // files_per_dir)
    # Each new folder hangs under a random folder that still has room, so
    # the shape is bushy near the top and thins out with depth.
    paths, depths, subfolders = [top], [0], [0]
    roomy = [0] if max_depth > 0 and max_subdirs > 0 else []
    while len(paths) < wanted and roomy:
        k = rng.randrange(len(roomy))
        parent = roomy[k]
        index = len(paths)
        name = ("dir é %05d" if index % 97 == 0 else "d%05d") % index
        paths.append(os.path.join(paths[parent], name.encode()))
        os.mkdir(paths[-1])
        depths.append(depths[parent] + 1)
        subfolders.append(0)
        subfolders[parent] += 1
        if subfolders[parent] == max_subdirs:
            roomy[k] = roomy[-1]
            roomy.pop()
        if depths[-1] < max_depth:
            roomy.append(index)

    spread = [[] for _ in paths]
    for i in range(nested):
        spread[rng.randrange(len(paths))].append(i)
    created = []
    for folder, indices in zip(paths, spread):
        if indices:
            created += _fill(folder, indices, rng)
    os.mkdir(os.path.join(top, b"flat"))
    created += _fill(os.path.join(top, b"flat"), range(nested, files), rng)
    return created, len(paths) + 1, max(depths)


_LINKS = ((b"to_big", b"../../big"), (b"to_usr", b"/usr"), (b"up", b".."),
          (b"self_loop", b"self_loop"), (b"dangling", b"no/such/file"),
          (b"to_file", b"../../big/blob0.bin"), (b"chain1", b"to_file"),
          (b"chain2", b"chain1"))
_NAMES = [n.encode() for n in (
    "with space", " leading space", "trailing space ", "tab\there",
    "new\nline", "-leading-dash", "--", "*?[glob]", "back\\slash",
    "quotes '\"", "caf\u00e9", "cafe\u0301", "日本語のファイル", "emoji 😀",
    ".hidden", "...", "a" * 255, "é" * 127)] + [
    b"latin1-\xe9t\xe9", b"\xff\xfe", b"cut-\xe2\x82", b"overlong-\xc0\xaf",
    b"mixed-\xce\xa9-\x80-end"]


def make_special(root, created, rng):
    special = os.path.join(root, b"special")
    os.mkdir(special)
    j = lambda *parts: os.path.join(special, *parts)

    os.mkdir(j(b"links"))
    for name, target in _LINKS:
        os.symlink(target, j(b"links", name))
    os.symlink(b"links/to_big", j(b"to_big_again"))

    os.mkdir(j(b"names"))
    for name in _NAMES:
        write_file(j(b"names", name), 1)
        # Cut to the longest name allowed; the cut through "é"s leaves one
        # more name ending in half a character.
        folder = j(b"names", (b"dir " + name)[:255])
        os.mkdir(folder)
        write_file(os.path.join(folder, name), 4 * KIB)

    os.mkdir(j(b"sparse"))
    for i, (mib, blocks) in enumerate(((1, 0), (2, 1), (3, 1), (4, 2),
                                       (5, 1), (6, 0), (7, 2), (8, 1))):
        fd = os.open(j(b"sparse", b"sparse%d_%dMiB" % (i, mib)),
                     os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            os.ftruncate(fd, mib * MIB)
            for b in range(blocks):
                offset = mib * MIB * (b + 1) // (blocks + 1) // (4 * KIB) * (4 * KIB)
                os.pwrite(fd, _BLOCK[: 4 * KIB], offset)
        finally:
            os.close(fd)

    os.mkdir(j(b"hardlinks"))
    picks = sorted(rng.sample(range(len(created)), min(len(created), max(1, len(created) // 100))))
    for k, i in enumerate(picks):
        os.link(created[i], created[i] + b".hl" if k % 4 == 0 else j(b"hardlinks", b"hl%06d" % k))
    write_file(j(b"hardlinks", b"many_names_src"), 100 * KIB)
    for k in range(49):
        os.link(j(b"hardlinks", b"many_names_src"), j(b"hardlinks", b"many_names_%02d" % k))

    for name, mode in _RESTRICTED:
        os.makedirs(j(name, b"sub"))
        for k in range(40):
            write_file(j(name, b"hidden%02d.dat" % k), 4 * KIB)
        for k in range(10):
            write_file(j(name, b"sub", b"deeper%02d.dat" % k), 100 * KIB)
        os.chmod(j(name), mode)  # last: a 000 folder takes nothing more

    os.mkfifo(j(b"fifo"))
    os.mkdir(j(b"empty_dir"))


def remove(root):
    for name, _ in _RESTRICTED:
        folder = os.path.join(root, b"special", name)
        if os.path.isdir(folder) and not os.path.islink(folder):
            os.chmod(folder, 0o755)
    if os.path.lexists(root):
        shutil.rmtree(root)


def main():
    ap = argparse.ArgumentParser(description="Makes a reproducible tree of files "
                                 "(the layout is described at the top of this file).")
    ap.add_argument("root", help="the folder to make; it must not exist unless --force")
    ap.add_argument("-n", "--files", type=int, default=200000, help="files in tree/ (200000)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the random choices (1)")
    ap.add_argument("--max-depth", type=int, default=8, help="deepest folder below tree/ (8)")
    ap.add_argument("--files-per-dir", type=int, default=20, help="mean files per nested folder (20)")
    ap.add_argument("--max-subdirs", type=int, default=30, help="most subfolders per folder (30)")
    ap.add_argument("--force", action="store_true", help="remove an existing ROOT first")
    ap.add_argument("--remove", action="store_true", help="only remove ROOT")
    a = ap.parse_args()
    if a.files < 0 or a.files_per_dir < 1 or a.max_depth < 0 or a.max_subdirs < 0:
        ap.error("-n, --max-depth and --max-subdirs take 0 or more, --files-per-dir 1 or more")

    root = os.path.abspath(os.fsencode(a.root))
    if a.remove:
        remove(root)
        return
    if os.path.lexists(root):
        if not a.force:
            sys.exit("gen_tree.py: %s exists (--force replaces it)" % a.root)
        remove(root)

    started = time.monotonic()
    os.umask(0o022)
    rng = random.Random(a.seed)
    os.mkdir(root)
    os.mkdir(os.path.join(root, b"tree"))
    created, folders, depth = make_bulk(os.path.join(root, b"tree"), a.files, a.files_per_dir,
                                        a.max_depth, a.max_subdirs, rng)
    os.mkdir(os.path.join(root, b"big"))
    for i in range(8):
        write_file(os.path.join(root, b"big", b"blob%d.bin" % i), 8 * MIB)
    os.mkdir(os.path.join(root, b"big", b"sub"))
    write_file(os.path.join(root, b"big", b"sub", b"inner.bin"), MIB)
    make_special(root, created, rng)
    print("made %s in %.1f s (seed %d): tree/ holds %d files in %d folders, %d deep"
          % (a.root, time.monotonic() - started, a.seed, len(created), folders, depth))


if __name__ == "__main__":
    main()
