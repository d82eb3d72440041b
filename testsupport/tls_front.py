#!/usr/bin/env python3
# A TLS front for the loopback test server, so that a test can serve HTTPS:
#
#   tls_front.py CERT KEY BACKEND_PORT
#
# Listens on 127.0.0.1 (a port the kernel picks, printed on the first line of
# standard output), takes TLS with CERT and KEY, and relays each connection's
# plain bytes to 127.0.0.1:BACKEND_PORT and back. Ends on SIGTERM, or by itself
# after 15 minutes so a forgotten front never outlives its test run.
import select
import signal
import socket
import ssl
import sys
import threading


def relay(client, backend_port):
    try:
        client.settimeout(10)
        client.do_handshake()
        client.settimeout(None)
        backend = socket.create_connection(("127.0.0.1", backend_port), timeout=10)
        backend.settimeout(None)
    except (OSError, ssl.SSLError):
        client.close()
        return
    ends = [client, backend]
    try:
        while True:
            # TLS may hold decrypted bytes that select() does not see.
            readable = [client] if client.pending() else select.select(ends, [], [], 60)[0]
            if not readable:
                break
            for source in readable:
                data = source.recv(65536)
                if not data:
                    return
                (backend if source is client else client).sendall(data)
    except (OSError, ssl.SSLError):
        pass
    finally:
        client.close()
        backend.close()


def main():
    cert, key, backend_port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.alarm(900)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    print(listener.getsockname()[1], flush=True)
    while True:
        connection, _ = listener.accept()
        client = context.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
        threading.Thread(target=relay, args=(client, backend_port), daemon=True).start()


if __name__ == "__main__":
    main()
