"""An FTP server on loopback that drops the connection in the middle of every upload.

Usage: dropping_ftp_server.py DIR USER PASS LIMIT
Accepts the login, stores LIMIT bytes of each uploaded file and then closes both the data and
the control connection. Logs ">>> starting FTP server on 127.0.0.1:PORT" on stderr when ready.
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

    class DroppingDTPHandler(DTPHandler):
        def handle_read(self):
            super().handle_read()
            if self.tot_bytes_received >= limit:
                self.cmd_channel.close()
                self.close()

        handle_read_event = handle_read

    class Handler(FTPHandler):
        dtp_handler = DroppingDTPHandler

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    Handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    sys.stderr.write(">>> starting FTP server on 127.0.0.1:%d <<<\n" % port)
    sys.stderr.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
