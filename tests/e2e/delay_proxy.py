"""A TCP proxy on loopback that holds every byte for a while each way: a
server far away, for the database's benchmarks. It stops with its process."""

import queue
import socket
import threading
import time


class DelayProxy:
    def __init__(self, target_port: int, one_way: float = 0.005):
        self.target, self.delay = target_port, one_way
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection(("127.0.0.1", self.target))
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._pipe(client, server)
            self._pipe(server, client)

    def _pipe(self, src, dst):
        held = queue.Queue()

        def read():
            try:
                while data := src.recv(65536):
                    held.put((time.monotonic() + self.delay, data))
            except OSError:
                pass
            held.put(None)

        def write():
            try:
                while (item := held.get()) is not None:
                    due, data = item
                    time.sleep(max(0.0, due - time.monotonic()))
                    dst.sendall(data)
                dst.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()
