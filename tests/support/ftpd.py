#!/usr/bin/python3
"""A small FTP server on pyftpdlib for tests, benchmarks and the demo.

Serves one folder to one user with full write permission on 127.0.0.1; there is
no anonymous user. With --port 0 the system picks a free port; --print-port then
writes "PORT <number>" as the first line on stdout once the server listens, so a
parent process can read where to connect.

Example:
    /usr/bin/python3 ftpd.py --root /tmp/site --port 0 --print-port
"""

import argparse
import logging
import os
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def parse_args(argv):
    parser = argparse.ArgumentParser(description="FTP server for KestrelFTP's tests")
    parser.add_argument("--root", required=True, help="folder served to the user")
    parser.add_argument("--user", default="webuser")
    parser.add_argument("--password", default="s3cret")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--port", type=int, default=0, help="0 lets the system choose")
    parser.add_argument("--print-port", action="store_true",
                        help='write "PORT <n>" on stdout once listening')
    parser.add_argument("--perm", default="elradfmwMT", help="pyftpdlib permission letters")
    parser.add_argument("--banner", default=None, help="text of the 220 greeting")
    parser.add_argument("--read-limit", type=int, default=0,
                        help="bytes per second read on data connections (0: no limit)")
    parser.add_argument("--write-limit", type=int, default=0,
                        help="bytes per second written on data connections (0: no limit)")
    parser.add_argument("--max-cons", type=int, default=0,
                        help="most simultaneous connections (0: pyftpdlib's default)")
    parser.add_argument("--max-cons-per-ip", type=int, default=0,
                        help="most control connections from one address (0: no limit)")
    parser.add_argument("--auth-failed-timeout", type=float, default=0.1,
                        help="seconds before a failed log-in is answered (pyftpdlib: 3)")
    parser.add_argument("--log-file", default=None,
                        help="write pyftpdlib's log here; without it the log is silenced")
    parser.add_argument("--verbose", action="store_true", help="log every command")
    parser.add_argument("--no-rename-over", action="store_true",
                        help="refuse RNTO onto a name that already exists (550), as some "
                             "servers do")
    parser.add_argument("--no-epsv", action="store_true",
                        help="answer EPSV as an unknown command (500), as older servers do")
    parser.add_argument("--masquerade-address", default=None,
                        help="address that PASV replies name instead of the server's own")
    parser.add_argument("--permit-foreign-addresses", action="store_true",
                        help="let PORT name another address than the client's")
    parser.add_argument("--tls-cert", default=None,
                        help="PEM certificate: offer FTP over TLS (AUTH TLS, PBSZ, PROT)")
    parser.add_argument("--tls-key", default=None, help="PEM key of --tls-cert")
    parser.add_argument("--tls-required", action="store_true",
                        help="with --tls-cert: refuse plain log-ins and plain data connections")
    return parser.parse_args(argv)


def configure_logging(args):
    logger = logging.getLogger("pyftpdlib")
    # A handler on the logger also keeps pyftpdlib from adding its own stderr handler.
    if args.log_file:
        handler = logging.FileHandler(args.log_file)
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
        logger.setLevel(logging.DEBUG if args.verbose else logging.INFO)
    else:
        handler = logging.NullHandler()
        logger.setLevel(logging.CRITICAL)
    logger.addHandler(handler)
    logger.propagate = False


def refuse_rename_over(self, path):
    """RNTO that refuses to rename onto an existing file, like servers on systems whose
    rename does not replace."""
    if self.fs.lexists(path):
        self._rnfr = None
        self.respond("550 Cannot rename: file exists.")
        return
    return super(type(self), self).ftp_RNTO(path)


def closable_dtp(base):
    """The data channel class with pyftpdlib's close() mended: close() logs the channel's
    repr, which asks the file for its fileno(); once the session has closed the file
    (its control connection ended first) that raises ValueError, so the channel never
    closes and the server spins on its errors for good."""
    def use_sendfile(self):
        try:
            return base.use_sendfile(self)
        except ValueError:
            return False
    return type("Closable" + base.__name__, (base,), {"use_sendfile": use_sendfile})


def main(argv):
    args = parse_args(argv)
    configure_logging(args)
    if not os.path.isdir(args.root):
        sys.stderr.write("ftpd.py: root folder does not exist: %s\n" % args.root)
        return 2

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm=args.perm)

    base = FTPHandler
    if args.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler

    class Handler(base):
        def _on_dtp_connection(self):
            # pyftpdlib keeps the PORT connector after its socket has passed to the data
            # channel, and the next PORT or ABOR closes it again: that unregisters the
            # connector's old descriptor number from the loop, which by then may belong
            # to another session's socket, and that session never hears from the server
            # again. With several active-mode sessions it stalls one within seconds. The
            # connector has nothing left to do once connected, so it is forgotten here.
            self._dtp_connector = None
            return super()._on_dtp_connection()

    handler = Handler
    if args.tls_cert:
        handler.certfile = args.tls_cert
        handler.keyfile = args.tls_key or args.tls_cert
        handler.tls_control_required = args.tls_required
        handler.tls_data_required = args.tls_required
    if args.no_rename_over:
        handler = type("NoRenameOver" + handler.__name__, (handler,),
                       {"ftp_RNTO": refuse_rename_over})
    handler.authorizer = authorizer
    if args.no_epsv:
        handler.proto_cmds = {k: v for k, v in base.proto_cmds.items() if k != "EPSV"}
    if args.masquerade_address:
        handler.masquerade_address = args.masquerade_address
    handler.permit_foreign_addresses = args.permit_foreign_addresses
    handler.auth_failed_timeout = args.auth_failed_timeout
    if args.banner is not None:
        handler.banner = args.banner
    if (args.read_limit or args.write_limit) and not args.tls_cert:
        dtp = ThrottledDTPHandler
        dtp.read_limit = args.read_limit
        dtp.write_limit = args.write_limit
        handler.dtp_handler = dtp

    handler.dtp_handler = closable_dtp(handler.dtp_handler)

    server = FTPServer((args.host, args.port), handler)
    if args.max_cons:
        server.max_cons = args.max_cons
    if args.max_cons_per_ip:
        server.max_cons_per_ip = args.max_cons_per_ip

    # SIGTERM ends the loop like Ctrl+C, so the server closes its sockets.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))

    if args.print_port:
        sys.stdout.write("PORT %d\n" % server.socket.getsockname()[1])
        sys.stdout.flush()
    try:
        server.serve_forever()
    finally:
        server.close_all()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
