#!/usr/bin/env python3
"""A queue peer written only from the file format, to prove a separately built process
interoperates with ours.

  msgq_interop_peer.py read  <queue file> <data size> <count> <out file>
      registers a reader slot, follows <count> frames as they are published, and writes each
      payload as one hex line to <out file>
  msgq_interop_peer.py write <queue file> <data size> <count>
      takes the queue over as its publisher and writes <count> frames, waiting for the
      reader in slot 0 to catch up after each one
  msgq_interop_peer.py wake  <queue file> <data size> <count>
      registers a reader slot and sleeps until the publisher's SIGUSR2 before each of the
      <count> frames it reads; gives up when a wake-up does not come
"""
import mmap
import os
import random
import signal
import struct
import sys
import threading
import time

HEADER = 312
NUM_READERS, WRITE_POINTER, WRITE_UID = 0, 8, 16
SLOTS = 12
READ_POINTERS, READ_VALIDS, READ_UIDS = 24, 120, 216
TIMEOUT = 20.0


def word(m, off):
    return struct.unpack_from("<Q", m, off)[0]


def put(m, off, value):
    struct.pack_into("<Q", m, off, value)


def unpack(p):
    return p >> 32, p & 0xFFFFFFFF


def uid():
    return (random.getrandbits(32) << 32) | threading.get_native_id()


def wait_for(cond):
    deadline = time.monotonic() + TIMEOUT
    while not cond():
        if time.monotonic() > deadline:
            sys.exit("timed out")
        time.sleep(0.0005)


def frame_length(size):
    return (size + 8 + 7) & ~7


def payload(i):
    return bytes((i * 7 + k) & 0xFF for k in range(1 + (i * 37) % 300))


def read(m, size, count, out_path):
    slot = word(m, NUM_READERS)
    assert slot < SLOTS
    put(m, NUM_READERS, slot + 1)
    put(m, READ_UIDS + 8 * slot, uid())
    put(m, READ_POINTERS + 8 * slot, word(m, WRITE_POINTER))
    put(m, READ_VALIDS + 8 * slot, 1)
    with open(out_path, "w") as out:
        out.write("registered\n")
        out.flush()
        got = 0
        while got < count:
            wait_for(lambda: word(m, READ_POINTERS + 8 * slot) != word(m, WRITE_POINTER))
            cycles, rp = unpack(word(m, READ_POINTERS + 8 * slot))
            n = struct.unpack_from("<q", m, HEADER + rp)[0]
            if n == -1:
                put(m, READ_POINTERS + 8 * slot, ((cycles + 1) & 0xFFFFFFFF) << 32)
                continue
            assert 0 < n < size, n
            out.write(m[HEADER + rp + 8:HEADER + rp + 8 + n].hex() + "\n")
            put(m, READ_POINTERS + 8 * slot, (cycles << 32) | (rp + frame_length(n)))
            got += 1


def register(m):
    slot = word(m, NUM_READERS)
    assert slot < SLOTS
    put(m, NUM_READERS, slot + 1)
    put(m, READ_UIDS + 8 * slot, uid())
    put(m, READ_POINTERS + 8 * slot, word(m, WRITE_POINTER))
    put(m, READ_VALIDS + 8 * slot, 1)
    return slot


def wake(m, size, count):
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR2])  # pending until we wait for it
    slot = register(m)
    got = 0
    while got < count:
        if word(m, READ_POINTERS + 8 * slot) == word(m, WRITE_POINTER):
            if signal.sigtimedwait([signal.SIGUSR2], TIMEOUT) is None:
                sys.exit("no wake-up after %d frames" % got)
            continue
        cycles, rp = unpack(word(m, READ_POINTERS + 8 * slot))
        n = struct.unpack_from("<q", m, HEADER + rp)[0]
        if n == -1:
            put(m, READ_POINTERS + 8 * slot, ((cycles + 1) & 0xFFFFFFFF) << 32)
            continue
        assert 0 < n < size, n
        put(m, READ_POINTERS + 8 * slot, (cycles << 32) | (rp + frame_length(n)))
        got += 1


def write(m, size, count):
    me = uid()
    put(m, WRITE_UID, me)
    put(m, NUM_READERS, 0)
    for i in range(SLOTS):
        put(m, READ_VALIDS + 8 * i, 0)
        put(m, READ_UIDS + 8 * i, 0)
    wait_for(lambda: word(m, NUM_READERS) > 0)
    for i in range(count):
        data = payload(i)
        total = frame_length(len(data))
        cycles, wp = unpack(word(m, WRITE_POINTER))
        if size - wp - total - 8 <= 0:
            struct.pack_into("<q", m, HEADER + wp, -1)
            cycles, wp = (cycles + 1) & 0xFFFFFFFF, 0
            put(m, WRITE_POINTER, cycles << 32)
        struct.pack_into("<q", m, HEADER + wp, len(data))
        m[HEADER + wp + 8:HEADER + wp + 8 + len(data)] = data
        put(m, WRITE_POINTER, (cycles << 32) | (wp + total))
        reader = word(m, READ_UIDS) & 0xFFFFFFFF
        if reader:
            os.kill(reader, signal.SIGUSR2)  # the reader's thread is its process's main thread
        wait_for(lambda: word(m, READ_POINTERS) == word(m, WRITE_POINTER))


def main():
    mode, path, size, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    # Every queue user takes the publishers' wake-up signal, which would otherwise kill it.
    signal.signal(signal.SIGUSR2, lambda signum, frame: None)
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o664)
    os.ftruncate(fd, HEADER + size)
    m = mmap.mmap(fd, HEADER + size)
    os.close(fd)
    if mode == "read":
        read(m, size, count, sys.argv[5])
    elif mode == "wake":
        wake(m, size, count)
    else:
        write(m, size, count)


if __name__ == "__main__":
    main()
