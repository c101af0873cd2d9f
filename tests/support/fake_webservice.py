#!/usr/bin/env python3
"""A local stand-in for the maker's web service, for tests.

  fake_webservice.py certs DIR
      Makes throw-away certificates with the openssl tool: ca.pem (trust it as
      the extra CA), server.pem/.key (127.0.0.1, signed by ca) and
      untrusted.pem/.key (127.0.0.1, signed by an unrelated CA).

  fake_webservice.py serve --cert C --key K [--lifetime S]
      Serves HTTPS on 127.0.0.1 at a free port and prints "PORT <n>". Then:
      - every request becomes one JSON line on stdout (a failed TLS handshake
        becomes {"event": "tls-failed", "error": ...}):
          {"event": "request", "path": "/track.php", "query": "<raw query>",
           "params": {"ta": "<decoded as the service's PHP would>", ...},
           "status": 200}
      - /ip/ip.php answers a property list with City, Country, CountryCode;
        /version_win.plist one with version; /track.php and /session.php "OK";
      - each line of JSON written to stdin changes the replies from then on,
        and is confirmed by {"event": "config", ...} on stdout. Keys:
          city, country, country_code, version: the values (null leaves a key out);
          status: HTTP status of every reply (default 200);
          hang: true to accept requests and never answer;
          pad: bytes of filler added to the location and version replies;
          compact: true to write no whitespace between key and string;
          raw: a text sent as the location and version reply instead.
      It ends when stdin closes, and after --lifetime seconds at the latest.

Point the program at it with the settings "advanced/ServiceHost" = 127.0.0.1:<n>
and "advanced/ExtraCaCertificates" = DIR/ca.pem. C++ tests drive it through
tests/pipeline/fakewebservice.h (start, configure, events).
"""

import argparse
import json
import os
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit
from xml.sax.saxutils import escape


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def make_ca(directory, name):
    key, pem = (os.path.join(directory, name + ext) for ext in (".key", ".pem"))
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", key, "-out", pem, "-days", "2", "-subj", "/CN=FENK " + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, pem


def make_server(directory, name, ca_key, ca_pem):
    key, csr, pem, ext = (os.path.join(directory, name + e) for e in (".key", ".csr", ".pem", ".ext"))
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "subjectAltName=IP:127.0.0.1\n")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
    openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-days", "2", "-extfile", ext, "-out", pem)


def make_certs(directory):
    os.makedirs(directory, exist_ok=True)
    make_server(directory, "server", *make_ca(directory, "ca"))
    make_server(directory, "untrusted", *make_ca(directory, "other-ca"))


class Service:
    def __init__(self):
        self.lock = threading.Lock()
        self.config = {"city": "Berlin", "country": "Germany", "country_code": "DE",
                       "version": "1.9", "status": 200, "hang": False, "pad": 0,
                       "compact": False, "raw": None}

    def emit(self, record):
        with self.lock:
            sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")
            sys.stdout.flush()

    def plist(self, pairs):
        with self.lock:
            if self.config.get("raw") is not None:
                return self.config["raw"].encode()
            gap = "" if self.config["compact"] else "\n    "
            pad = self.config["pad"]
        body = "".join("<key>%s</key>%s<string>%s</string>\n" % (escape(k), gap, escape(v))
                       for k, v in pairs if v is not None)
        return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n%s'
                '</dict>\n</plist>\n<!-- %s -->\n' % (body, "x" * pad)).encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.tls_ok = True
        try:
            self.request.settimeout(10)
            self.request.do_handshake()
            self.request.settimeout(None)
        except (ssl.SSLError, OSError) as error:
            self.tls_ok = False
            self.server.service.emit({"event": "tls-failed", "error": str(error)})

    def handle(self):
        if self.tls_ok:
            try:
                super().handle()
            except (ssl.SSLError, ConnectionError, TimeoutError):
                pass

    def do_GET(self):
        service = self.server.service
        split = urlsplit(self.path)
        with service.lock:
            config = dict(service.config)
        record = {"event": "request", "path": split.path, "query": split.query,
                  "params": dict(parse_qsl(split.query, keep_blank_values=True)),
                  "status": 0 if config["hang"] else config["status"]}
        service.emit(record)
        if config["hang"]:
            time.sleep(self.server.lifetime)
            return
        if split.path == "/ip/ip.php":
            body = service.plist([("City", config["city"]), ("Country", config["country"]),
                                  ("CountryCode", config["country_code"])])
        elif split.path == "/version_win.plist":
            body = service.plist([("version", config["version"])])
        elif split.path in ("/track.php", "/session.php"):
            body = b"OK"
        else:
            return self.reply(404, b"not found", "text/plain")
        self.reply(config["status"], body, "text/xml")

    def reply(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass


def serve(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server = Server(("127.0.0.1", 0), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    server.service = Service()
    server.lifetime = args.lifetime

    def read_control():
        for line in sys.stdin:
            try:
                change = json.loads(line)
            except ValueError:
                continue
            with server.service.lock:
                server.service.config.update(change)
            server.service.emit({"event": "config", **change})
        os._exit(0)

    def lifetime():
        time.sleep(args.lifetime)
        os._exit(1)

    threading.Thread(target=read_control, daemon=True).start()
    threading.Thread(target=lifetime, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever(poll_interval=0.1)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "certs":
        make_certs(sys.argv[2])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["serve"])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--lifetime", type=float, default=120.0)
    serve(parser.parse_args())


if __name__ == "__main__":
    main()
