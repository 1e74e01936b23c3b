"""An FTP server on loopback for the tests, built on pyftpdlib.

Usage: ftp_server.py DIR USER PASS [--drop-after LIMIT] [--tls CERT KEY] [--stor-reply TEXT]
Serves DIR to one writable account and logs every command on stderr, and
">>> starting FTP server on 127.0.0.1:PORT" when ready.
--drop-after: stores LIMIT bytes of each uploaded file, then closes both the data and the
control connection.
--tls: offers explicit TLS (AUTH TLS) with the certificate and key, for the control and, when
the client asks with PROT P, the data connection; clients may stay plain.
--stor-reply: answers every STOR with TEXT (a refusal of the server's own words) and stores
nothing.
"""
import argparse
import os
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("--drop-after", type=int)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--stor-reply")
    parser.add_argument("--write-only", action="store_true")
    parser.add_argument("--no-rename-over", action="store_true")
    args = parser.parse_args()

    if args.tls:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        base_handler, base_dtp = TLS_FTPHandler, TLS_DTPHandler
    else:
        base_handler, base_dtp = FTPHandler, DTPHandler

    class Dtp(base_dtp):
        def handle_read(self):
            super().handle_read()
            if args.drop_after is not None and self.tot_bytes_received >= args.drop_after:
                self.cmd_channel.close()
                self.close()

        handle_read_event = handle_read

    class Handler(base_handler):
        dtp_handler = Dtp

        def ftp_STOR(self, file, mode="w"):
            if args.stor_reply is None:
                return super().ftp_STOR(file, mode)
            self.respond(args.stor_reply)

        def ftp_RNTO(self, path):
            # Some servers refuse to rename onto an existing name.
            if args.no_rename_over and os.path.exists(path):
                return self.respond("550 File exists.")
            return super().ftp_RNTO(path)

    if args.tls:
        Handler.certfile, Handler.keyfile = args.tls
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="eladfmwMT" if args.write_only else "elradfmwMT")
    Handler.authorizer = authorizer
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    sys.stderr.write(">>> starting FTP server on 127.0.0.1:%d <<<\n" % port)
    sys.stderr.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
