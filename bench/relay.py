#!/usr/bin/env python3
"""A TCP relay that gives a localhost connection the latency, and optionally the bandwidth, of
a real link.

    relay.py --listen PORT --target HOST:PORT [--delay-ms N] [--rate-mbit R]
             [--conn-rate-mbit C] [--stats FILE] [--profile FILE]

Every chunk read from one side is written to the other N ms after it arrived; reading goes on
meanwhile, so the delay adds latency without limiting throughput (a 10 ms delay each way is a
20 ms round trip). With --rate-mbit the relay also behaves like a link of R Mbit/s in each
direction, shared by all connections: bytes leave at that rate, then take the delay. With
--conn-rate-mbit each connection is held to C Mbit/s in each direction besides, as a long path,
a lossy radio link or a CDN that limits each flow holds it: a byte leaves when both its
connection and the link are free for it.

Counts the bytes relayed each way. On SIGTERM or SIGINT it prints them and ends; SIGUSR1
writes them without ending. SIGUSR2 breaks every open connection at once, as the end of a
killed process does, and writes them. --hold-at N stops the flow down, once, exactly when N
bytes have gone down (the rest of that piece is dropped), until that SIGUSR2: a kill at an
exact point. With --stats FILE they are written there as well, as "up=" (client to server),
"down=" (server to client) and "connections=" lines. --profile FILE writes, at the end, the bytes sent down in each tenth
of a second from the first on: where the link sat idle.
"""
import argparse
import asyncio
import collections
import os
import signal
import socket
import sys

READ_SIZE = 256 * 1024
# Paced bytes go out in pieces this small, so that a 256 KiB read does not leave as one burst.
PACE_PIECE = 16 * 1024
PROFILE_SLOT = 0.1  # seconds


class Link:
    """One direction of the emulated link: its latency, its rate, and the moment it is free."""

    def __init__(self, delay, rate_bytes):
        self.delay = delay
        self.rate = rate_bytes  # bytes per second, 0 for unlimited
        self.free_at = 0.0
        self.bytes = 0
        self.hold_at = None  # a count at which this direction stops until the next cut
        self.profile = None  # bytes sent per PROFILE_SLOT, when asked for
        self.released = asyncio.Event()
        self.released.set()

    def take(self, at, size):
        """A piece handed to the link at time at: when it reaches the far end. The link is
        booked only as pieces are handed to it, so it never idles while a piece waits for it."""
        if not self.rate:
            return at + self.delay
        self.free_at = max(at, self.free_at) + size / self.rate
        return self.free_at + self.delay

    def queue_limit(self):
        # Enough to keep the link busy for its whole delay several times over, so the limit
        # never throttles; a sender far faster than the rate is held back by TCP, not memory.
        in_flight = (self.rate or 2e9) * max(self.delay, 0.001)
        return int(max(4 << 20, 2 * in_flight + (1 << 20)))


class Pipe:
    """One direction of one connection: reader -> the connection's own pace -> the shared link
    -> timed queue -> writer. A connection hands the link its next piece only once its own rate
    lets it go and the link has sent its last one, so connections share a busy link in turns
    and none queues more than a piece on it."""

    def __init__(self, link, reader, writer, conn_rate=0):
        self.link, self.reader, self.writer = link, reader, writer
        self.rate = conn_rate
        self.paced = link.rate or conn_rate
        self.free_at = 0.0              # when this connection may hand the link its next piece
        self.waiting = collections.deque()  # read, not yet on the link
        self.timed = collections.deque()    # (due, piece) on the link or in its delay
        self.queued = 0
        self.limit = link.queue_limit()
        self.read_more = asyncio.Event()  # something read (or the end)
        self.ready = asyncio.Event()      # something timed (or the end)
        self.room = asyncio.Event()       # the queue is below its limit
        self.room.set()
        self.read_ended = False
        self.ended = False

    async def read_side(self):
        try:
            while True:
                data = await self.reader.read(READ_SIZE)
                if not data:
                    break
                step = PACE_PIECE if self.paced else len(data)
                now = asyncio.get_running_loop().time()
                for i in range(0, len(data), step):
                    self.waiting.append((now, data[i:i + step]))
                self.queued += len(data)
                self.read_more.set()
                if self.queued >= self.limit:
                    self.room.clear()
                    await self.room.wait()
        except (ConnectionError, OSError):
            pass
        finally:
            self.read_ended = True
            self.read_more.set()

    async def pace_side(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                if not self.waiting:
                    if self.read_ended:
                        break
                    self.read_more.clear()
                    await self.read_more.wait()
                    continue
                # Times are the schedule's, not the moment this task woke: a late wake-up
                # must not slow the connection down.
                read_at, piece = self.waiting[0]
                at = max(read_at, self.free_at)
                wait = at - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                self.waiting.popleft()
                self.timed.append((self.link.take(at, len(piece)), piece))
                own = at + len(piece) / self.rate if self.rate else at
                self.free_at = max(own, self.link.free_at if self.link.rate else at)
                self.ready.set()
        finally:
            self.ended = True
            self.ready.set()

    async def write_side(self):
        """True when the direction ended cleanly, False when the far end failed."""
        loop = asyncio.get_running_loop()
        try:
            while True:
                if not self.timed:
                    if self.ended:
                        break
                    self.ready.clear()
                    await self.ready.wait()
                    continue
                due, piece = self.timed[0]
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                # Everything that is due by now goes in one write.
                now = loop.time()
                out = []
                while self.timed and self.timed[0][0] <= now:
                    due, piece = self.timed.popleft()
                    out.append(piece)
                    self.queued -= len(piece)
                if not out:
                    continue
                if self.queued < self.limit:
                    self.room.set()
                data = b"".join(out)
                if self.link.hold_at is not None:
                    data = data[:max(0, self.link.hold_at - self.link.bytes)]
                self.writer.write(data)
                await self.writer.drain()
                if self.writer.transport.is_closing():
                    return False  # broken off: nothing more reaches the far end
                self.link.bytes += len(data)
                if self.link.profile is not None:
                    slot = int(now / PROFILE_SLOT)
                    self.link.profile[slot] = self.link.profile.get(slot, 0) + len(data)
                if self.link.hold_at is not None and self.link.bytes >= self.link.hold_at:
                    self.link.hold_at = None
                    self.link.released.clear()
                await self.link.released.wait()
                if self.writer.transport.is_closing():
                    return False
            if self.writer.can_write_eof():
                self.writer.write_eof()
            return True
        except (ConnectionError, OSError):
            return False


class Relay:
    def __init__(self, args):
        host, _, port = args.target.rpartition(":")
        self.target = (host or "127.0.0.1", int(port))
        rate = args.rate_mbit * 1e6 / 8
        delay = args.delay_ms / 1000.0
        self.up = Link(delay, rate)
        self.down = Link(delay, rate)
        self.down.hold_at = args.hold_at
        self.profile_file = args.profile
        if args.profile:
            self.down.profile = {}
        self.conn_rate = args.conn_rate_mbit * 1e6 / 8
        self.connections = 0
        self.stats_file = args.stats
        self.open = set()  # (client writer, server writer) of each open connection

    async def handle(self, client_reader, client_writer):
        self.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.target)
        except OSError:
            client_writer.close()
            return
        for w in (client_writer, server_writer):
            sock = w.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pair = (client_writer, server_writer)
        self.open.add(pair)
        up = Pipe(self.up, client_reader, server_writer, self.conn_rate)
        down = Pipe(self.down, server_reader, client_writer, self.conn_rate)
        readers = [asyncio.ensure_future(p.read_side()) for p in (up, down)]
        readers += [asyncio.ensure_future(p.pace_side()) for p in (up, down)]
        writers = [asyncio.ensure_future(p.write_side()) for p in (up, down)]
        tasks = readers + writers
        try:
            # Both directions ending cleanly end the connection; a failed write ends it at once
            # (its reader could otherwise wait for room that never comes).
            pending = set(writers)
            while pending:
                done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
                if any(not t.result() for t in done):
                    break
        except asyncio.CancelledError:
            pass  # the relay is ending; the connection goes with it
        finally:
            self.open.discard(pair)
            for t in tasks:
                t.cancel()
            for w in (client_writer, server_writer):
                w.close()

    def cut(self):
        # Under Wine a killed process's sockets stay open until the wineserver has cleaned up
        # after it (tens of ms, in which a paced link still pushes data into them); a native
        # process's close at once. Cutting at the kill charges both alike.
        for pair in list(self.open):
            for w in pair:
                w.transport.abort()
        self.up.released.set()
        self.down.released.set()
        self.report(False)

    def stats(self):
        return f"up={self.up.bytes}\ndown={self.down.bytes}\nconnections={self.connections}\n"

    def write_profile(self):
        """The down direction's bytes per slot from its first byte on, one "seconds bytes"
        line a slot: where a link sat idle shows as a gap."""
        slots = self.down.profile
        if not slots:
            return
        first = min(slots)
        with open(self.profile_file, "w") as f:
            for slot in range(first, max(slots) + 1):
                f.write(f"{(slot - first) * PROFILE_SLOT:.1f} {slots.get(slot, 0)}\n")

    def report(self, to_stdout):
        text = self.stats()
        if to_stdout:
            sys.stdout.write("relay: " + text.replace("\n", " ").strip() + "\n")
            sys.stdout.flush()
        if self.stats_file:
            tmp = self.stats_file + ".tmp"
            with open(tmp, "w") as f:
                f.write(text)
            os.replace(tmp, self.stats_file)

    async def serve(self, port):
        server = await asyncio.start_server(self.handle, "127.0.0.1", port, backlog=512)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        loop.add_signal_handler(signal.SIGUSR1, self.report, False)
        loop.add_signal_handler(signal.SIGUSR2, self.cut)
        await stop.wait()
        # Counted first: connections still open are cut when the loop ends, not waited for.
        self.report(True)
        if self.profile_file:
            self.write_profile()
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", type=int, required=True, help="port on 127.0.0.1")
    parser.add_argument("--target", required=True, help="HOST:PORT to relay to")
    parser.add_argument("--delay-ms", type=float, default=0.0, help="delay per direction")
    parser.add_argument("--rate-mbit", type=float, default=0.0, help="link rate per direction")
    parser.add_argument("--conn-rate-mbit", type=float, default=0.0,
                        help="rate of each connection per direction")
    parser.add_argument("--stats", help="file for the byte counts")
    parser.add_argument("--profile", help="file for the bytes sent down per 0.1 s at the end")
    parser.add_argument("--hold-at", type=int, help="stop sending down, once, when this many "
                        "bytes have gone down, until SIGUSR2 breaks the connections")
    args = parser.parse_args()
    asyncio.run(Relay(args).serve(args.listen))


if __name__ == "__main__":
    main()
