"""What every local HTTPS fake of the tests needs (python3 and openssl only).

make_cert(dir, name, ca=None, san=None): dir/name.key and .pem, an authority when ca
    is None, else a server certificate for san ("IP:127.0.0.1") signed by dir/<ca>.pem.
log(record): writes record to stdout as one JSON line (thread-safe).
Handler: every method calls answer(), which a fake overrides; body() reads the request
    body, reply(status, body, type, headers) answers; a failed TLS handshake is logged
    as {"event": "tls-failed", "error": ...}.
serve(handler, cert, key, lifetime, control): HTTPS on 127.0.0.1 at a free port, prints
    "PORT <n>"; each JSON line on stdin goes to control(dict) and is confirmed by
    {"event": "control"}; exits with 0 when stdin closes, with 1 after lifetime seconds.
    A stdin that is neither a pipe nor a terminal (/dev/null, a file) is not read.
main(handler, certs, options, start): the command line. "certs DIR" makes the (name, ca)
    certificates; "serve --cert C --key K [--lifetime S]" and an --option per options
    entry (name: default, None if required) serves with control = start(arguments).
"""
import argparse, json, os, ssl, stat, subprocess, sys, threading  # noqa: E401
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_lock = threading.Lock()


def make_cert(directory, name, ca=None, san=None):
    out, ca = os.path.join(directory, name), ca and os.path.join(directory, ca)
    ext = ["subjectAltName=%s" % san, "basicConstraints=CA:FALSE", "extendedKeyUsage=serverAuth"] \
        if ca else ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-keyout", out + ".key",
                    "-out", out + ".pem", "-subj", "/CN=FENK test " + name,
                    *(["-CA", ca + ".pem", "-CAkey", ca + ".key"] if ca else []),
                    *(arg for e in ext for arg in ("-addext", e))],
                   check=True, capture_output=True, timeout=60)


def log(record):
    with _lock:
        print(json.dumps(record, ensure_ascii=False), flush=True)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    log_message = lambda self, *args: None  # noqa: E731

    def handle(self):
        try:
            self.request.do_handshake()
        except (ssl.SSLError, OSError) as error:
            return log({"event": "tls-failed", "error": str(error)})
        try:
            super().handle()
        except (ssl.SSLError, ConnectionError, TimeoutError):
            pass

    do_GET = do_POST = do_PUT = do_DELETE = lambda self: self.answer()  # noqa: E731

    def body(self):
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def reply(self, status, body=b"", content_type="application/json; charset=utf-8", headers=()):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        for name, value in [("Content-Type", content_type), *headers,
                            ("Content-Length", str(len(data)))]:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)


def serve(handler, cert, key, lifetime, control):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.handle_error = lambda request, address: None
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)

    def read_stdin():
        for line in filter(str.strip, sys.stdin):
            control(json.loads(line))
            log({"event": "control"})
        os._exit(0)

    # Control lines come through a pipe (the tests) or a terminal. Started from a
    # script or in the background, a fake serves for its lifetime instead of
    # ending (or stopping) at once without a word.
    # A terminal is read only in the foreground: a background job that reads it is stopped.
    mode = os.fstat(sys.stdin.fileno()).st_mode if sys.stdin else 0
    foreground = sys.stdin and sys.stdin.isatty() and \
        os.tcgetpgrp(sys.stdin.fileno()) == os.getpgrp()
    if foreground or stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        threading.Thread(target=read_stdin, daemon=True).start()
    else:
        print("stdin is no pipe and no terminal in the foreground: no control lines, serving "
              "for %d s"
              % lifetime, file=sys.stderr, flush=True)
    threading.Thread(target=lambda: (threading.Event().wait(lifetime), os._exit(1)),
                     daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.1)


def main(handler, certs, options, start):
    if sys.argv[1:2] == ["certs"]:
        os.makedirs(sys.argv[2], exist_ok=True)
        for name, ca in certs:
            make_cert(sys.argv[2], name, ca, "IP:127.0.0.1")
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["serve"])
    for name, default in dict(cert=None, key=None, lifetime=120.0, **options).items():
        parser.add_argument("--" + name.replace("_", "-"), default=default, **(
            {"action": "store_true"} if default is False else {"required": True}
            if default is None else {"type": type(default)}))
    args = vars(parser.parse_args())
    serve(handler, args["cert"], args["key"], args["lifetime"], start(args))
