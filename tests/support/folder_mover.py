#!/usr/bin/env python3
"""Moves folders between the branches of a tree until told to stop, so that
the tree's total never changes while whatever reads it sees it change.

  folder_mover.py make TREE BRANCHES FOLDERS FILES [ROOM]   builds the tree
  folder_mover.py move TREE RATE                     moves (RATE a second, 0: flat out)

make: TREE/bNN, each with FOLDERS folders dNNNNN, each holding FILES files of
one byte and a folder of as many more. Every branch folder is grown first to
hold ROOM folders (default: every one; a folder never gives back the room
its entries took), so that moves change no folder's size.

move: prints "moving" once the first moves are made, then moves a random
folder to another branch until SIGTERM or SIGINT, and prints the count.
"""
import os
import random
import signal
import sys
import time


def make(tree, branches, folders, files, room=0):
    os.makedirs(tree)
    names = ["d%05d" % i for i in range(folders * branches)]
    for b in range(branches):
        branch = os.path.join(tree, "b%02d" % b)
        os.mkdir(branch)
        # Room for that many folders (all of the tree's by default), then
        # given back empty.
        for name in names[: room or len(names)]:
            os.close(os.open(os.path.join(branch, name), os.O_WRONLY | os.O_CREAT, 0o644))
        for name in names[: room or len(names)]:
            os.unlink(os.path.join(branch, name))
    for i, name in enumerate(names):
        folder = os.path.join(tree, "b%02d" % (i % branches), name)
        for where in (folder, os.path.join(folder, "s")):
            os.mkdir(where)
            for f in range(files):
                fd = os.open(os.path.join(where, "f%03d" % f), os.O_WRONLY | os.O_CREAT, 0o644)
                os.write(fd, b"x")
                os.close(fd)


def move(tree, rate):
    branches = sorted(os.listdir(tree))
    where = {}
    for branch in branches:
        for name in os.listdir(os.path.join(tree, branch)):
            where[name] = branch
    names = sorted(where)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))
    rng = random.Random(35)
    moves, started, told = 0, time.monotonic(), False
    while not stop:
        name = rng.choice(names)
        to = rng.choice([b for b in branches if b != where[name]])
        os.rename(os.path.join(tree, where[name], name), os.path.join(tree, to, name))
        where[name] = to
        moves += 1
        if moves == 10 and not told:
            print("moving", flush=True)
            told = True
        if rate:
            # Paced by the clock, not by sleeps alone: a late wake-up is made up.
            ahead = started + moves / rate - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
    print("moved %d in %.2f s" % (moves, time.monotonic() - started), flush=True)


if __name__ == "__main__":
    if len(sys.argv) in (6, 7) and sys.argv[1] == "make":
        make(sys.argv[2], *map(int, sys.argv[3:]))
    elif len(sys.argv) == 4 and sys.argv[1] == "move":
        move(sys.argv[2], float(sys.argv[3]))
    else:
        sys.exit(__doc__)
