#!/usr/bin/env python3
"""A local stand-in for the Twitter REST API, for the client's tests.

  fake_twitter.py certs DIR
      Makes throw-away certificate authorities and server certificates with the
      openssl command line tool.
  fake_twitter.py serve --cert C --key K --consumer-key CK --consumer-secret CS [...]
      Serves HTTPS on 127.0.0.1 (a free port), prints "PORT <n>" and then one JSON
      line per request (or failed TLS handshake) on stdout. It checks every
      request's OAuth 1.0a signature the way RFC 5849 section 3 describes, with its
      own code. Each JSON line written to its standard input resets the state and
      sets the options it names (the command line's, with "_" for "-"), and is
      answered by {"event": "control"}. It ends when its standard input closes,
      and after --lifetime seconds at the latest.
"""

import argparse
import base64
import hashlib
import hmac
import json
import math
import os
import ssl
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, quote, unquote, urlsplit


# ---------------------------------------------------------------------------
# certificates

def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def make_ca(directory, name):
    key = os.path.join(directory, name + ".key")
    pem = os.path.join(directory, name + ".pem")
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-nodes", "-keyout", key, "-out", pem, "-days", "2", "-subj", "/CN=FENK test " + name,
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return key, pem


def make_server(directory, name, ca_key, ca_pem, san):
    key = os.path.join(directory, name + ".key")
    csr = os.path.join(directory, name + ".csr")
    pem = os.path.join(directory, name + ".pem")
    ext = os.path.join(directory, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=%s\n" % san)
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
    openssl("x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
            "-days", "2", "-extfile", ext, "-out", pem)


def make_certs(directory):
    os.makedirs(directory, exist_ok=True)
    ca_key, ca_pem = make_ca(directory, "ca")
    make_ca(directory, "other-ca")
    make_server(directory, "server", ca_key, ca_pem, "IP:127.0.0.1")


# ---------------------------------------------------------------------------
# OAuth 1.0a, RFC 5849

def encode(text):
    """Section 3.6: unreserved characters stay, everything else is %XX of UTF-8."""
    return quote(text, safe="-._~")


def parse_authorization(value):
    """Section 3.5.1: OAuth realm="..", name="value", ..., values percent-encoded."""
    if not value.startswith("OAuth "):
        return None
    params = []
    for item in value[len("OAuth "):].split(","):
        item = item.strip()
        if not item:
            continue
        name, sep, quoted = item.partition("=")
        if not sep or len(quoted) < 2 or quoted[0] != '"' or quoted[-1] != '"':
            return None
        params.append((unquote(name), unquote(quoted[1:-1])))
    return params


def signature_base(method, base_uri, params):
    """Sections 3.4.1.1 to 3.4.1.3."""
    encoded = sorted((encode(k), encode(v)) for k, v in params)
    normalized = "&".join("%s=%s" % kv for kv in encoded)
    return "&".join([method.upper(), encode(base_uri), encode(normalized)])


def hmac_sha1(base, consumer_secret, token_secret):
    key = encode(consumer_secret) + "&" + encode(token_secret)
    digest = hmac.new(key.encode(), base.encode(), hashlib.sha1).digest()
    return base64.b64encode(digest).decode()


# ---------------------------------------------------------------------------
# the service

class Service:
    def __init__(self, args):
        self.defaults = dict(vars(args))
        self.lock = threading.Lock()
        self.reset(args)

    def reset(self, args):
        self.args = args
        self.request_tokens = {}  # token -> secret, each usable once
        self.access_tokens = {}   # token -> secret
        if args.access_token:
            self.access_tokens[args.access_token] = args.access_secret
        self.seen_nonces = set()
        self.statuses = set()
        self.counter = 0
        self.posts = 0
        self.limited_until = None

    def log(self, record):
        with self.lock:
            sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")
            sys.stdout.flush()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeTwitter/1.0"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.tls_ok = True
        try:
            self.request.do_handshake()
        except (ssl.SSLError, OSError) as error:
            self.tls_ok = False
            self.server.service.log({"event": "tls-failed", "error": str(error)})

    def handle(self):
        if self.tls_ok:
            try:
                super().handle()
            except (ssl.SSLError, ConnectionError, TimeoutError):
                pass

    def do_GET(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def reply(self, status, body, content_type="application/json; charset=utf-8"):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def error(self, status, code, message):
        self.reply(status, json.dumps({"errors": [{"code": code, "message": message}]}))

    def dispatch(self):
        service = self.server.service
        args = service.args
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        split = urlsplit(self.path)
        record = {"event": "request", "method": self.command, "path": split.path,
                  "query": split.query, "body": body.decode("utf-8", "replace")}

        if args.hang:
            service.log(dict(record, status=0, valid=None))
            time.sleep(args.hang)
            self.close_connection = True
            return

        verdict = self.check_signature(split, body)
        record.update(verdict)
        params = dict(verdict.get("params", []))
        valid = verdict["valid"]

        status, send = 200, None
        path = split.path
        if path == "/oauth/request_token" and self.command == "GET":
            if valid and verdict["token"] is None and not args.refuse_request_token:
                with service.lock:
                    service.counter += 1
                    token = "RT-%d" % service.counter
                    secret = "RS-%d" % service.counter
                    service.request_tokens[token] = secret
                status = 200
                send = lambda: self.reply(200, "oauth_token=%s&oauth_token_secret=%s&"
                                          "oauth_callback_confirmed=true" % (token, secret),
                                          "text/html; charset=utf-8")
            else:
                status = 401
        elif path == "/oauth/access_token" and self.command == "GET":
            token = verdict.get("token")
            if valid and token in verdict["request_tokens_used"] and \
                    params.get("oauth_verifier") == args.pin:
                with service.lock:
                    service.access_tokens[args.issue_token] = args.issue_secret
                status = 200
                send = lambda: self.reply(200, "oauth_token=%s&oauth_token_secret=%s&user_id=%s&"
                                          "screen_name=%s" % (args.issue_token, args.issue_secret,
                                                              args.user_id, args.screen_name),
                                          "text/html; charset=utf-8")
            else:
                status = 401
                send = lambda: self.reply(401, "Invalid oauth_verifier parameter",
                                          "text/html; charset=utf-8")
        elif path.startswith("/1.1/") and args.v2_only:
            status = 403
            send = lambda: self.error(403, 453, "You currently have access to a subset of "
                                      "X API V2 endpoints and limited v1.1 endpoints only.")
        elif path == "/2/users/me" and self.command == "GET":
            if valid and verdict["kind"] == "access":
                status = 200
                send = lambda: self.reply(200, json.dumps({"data": {
                    "id": args.user_id, "name": "DJ", "username": args.screen_name}}))
            else:
                status = 401
                send = lambda: self.problem(401, "Unauthorized", "Unauthorized")
        elif path == "/2/tweets" and self.command == "POST":
            try:
                text = json.loads(body.decode()).get("text", "")
            except ValueError:
                text = ""
            record["status_text"] = text
            status, send = self.post(text, valid and verdict["kind"] == "access", True)
        elif path == "/1.1/account/verify_credentials.json" and self.command == "GET":
            if valid and verdict["kind"] == "access":
                status = 200
                send = lambda: self.reply(200, json.dumps(
                    {"id": int(args.user_id), "id_str": args.user_id,
                     "screen_name": args.screen_name, "name": "DJ",
                     "description": "x" * args.pad}))
            else:
                status = 401
        elif path == "/1.1/users/show.json" and self.command == "GET":
            name = params.get("screen_name", "")
            if valid and verdict["kind"] == "access" and name:
                status = 200
                send = lambda: self.reply(200, json.dumps(
                    {"id": int(args.user_id), "id_str": args.user_id, "screen_name": name}))
            else:
                status = 401
        elif path == "/1.1/statuses/update.json" and self.command == "POST":
            text = params.get("status", "")
            record["status_text"] = text
            status, send = self.post(text, valid and verdict["kind"] == "access", False)
        else:
            status = 404
            send = lambda: self.error(404, 34, "Sorry, that page does not exist.")

        if send is None:
            send = lambda: self.error(status, 89, "Invalid or expired token.")
        record.pop("params", None)
        record.pop("request_tokens_used", None)
        record["status"] = status
        service.log(record)
        send()

    def problem(self, status, title, detail):
        self.reply(status, json.dumps({"title": title, "detail": detail, "status": status,
                                       "type": "about:blank"}), "application/problem+json")

    def post(self, text, authorized, v2):
        """Status and reply sender of a post, v1.1 or v2."""
        service = self.server.service
        if not authorized:
            return 401, None
        now = time.time()
        with service.lock:
            if service.limited_until and now >= service.limited_until:
                service.limited_until, service.posts = None, 0
            if not service.limited_until and 0 <= service.args.post_limit <= service.posts:
                service.limited_until = math.ceil(now + service.args.reset_in)
            limited = service.limited_until
            duplicate = text in service.statuses
            if not limited:
                service.posts += 1
                service.statuses.add(text)
        if limited:
            reset = str(limited)
            def send():
                self.send_response(429)
                # The 24-hour user limit is used up; the 15-minute window is not.
                self.send_header("x-rate-limit-remaining", "5")
                self.send_header("x-rate-limit-reset", str(int(now) + 900))
                self.send_header("x-user-limit-24hour-remaining", "0")
                self.send_header("x-user-limit-24hour-reset", reset)
                self.send_header("Content-Length", "0")
                self.end_headers()
            return 429, send
        if len(text) > 280:
            return 403, lambda: self.problem(403, "Forbidden", "Your Tweet text is too long.")
        if duplicate and v2:
            return 403, lambda: self.problem(
                403, "Forbidden", "You are not allowed to create a Tweet with duplicate content.")
        if duplicate:
            return 403, lambda: self.error(403, 187, "Status is a duplicate.")
        if v2:
            return 201, lambda: self.reply(201, json.dumps({"data": {"id": "1", "text": text}}))
        return 200, lambda: self.reply(200, json.dumps({"id_str": "1", "text": text}))

    def check_signature(self, split, body):
        """Verifies the request as the service would; returns what it found."""
        service = self.server.service
        args = service.args
        verdict = {"valid": False, "reason": "", "token": None, "kind": None,
                   "request_tokens_used": set()}
        headers = self.headers.get_all("Authorization") or []
        if len(headers) != 1:
            verdict["reason"] = "expected one Authorization header, got %d" % len(headers)
            return verdict
        verdict["authorization"] = headers[0]
        oauth = parse_authorization(headers[0])
        if oauth is None:
            verdict["reason"] = "malformed Authorization header"
            return verdict
        oauth_map = dict(oauth)
        if len(oauth_map) != len(oauth):
            verdict["reason"] = "repeated header parameter"
            return verdict
        params = parse_qsl(split.query, keep_blank_values=True)
        content_type = self.headers.get("Content-Type", "")
        if body and not content_type.startswith("application/json"):
            if not content_type.startswith("application/x-www-form-urlencoded"):
                verdict["reason"] = "body is not form-encoded"
                return verdict
            params += parse_qsl(body.decode(), keep_blank_values=True)
        verdict["params"] = params + [(k, v) for k, v in oauth if k.startswith("oauth_")]
        signed = params + [(k, v) for k, v in oauth if k not in ("oauth_signature", "realm")]

        if oauth_map.get("oauth_consumer_key") != args.consumer_key:
            verdict["reason"] = "unknown consumer key"
            return verdict
        if oauth_map.get("oauth_signature_method") != "HMAC-SHA1":
            verdict["reason"] = "unsupported signature method"
            return verdict
        if oauth_map.get("oauth_version", "1.0") != "1.0":
            verdict["reason"] = "bad version"
            return verdict
        if "oauth_callback" in oauth_map:
            verdict["reason"] = "unexpected oauth_callback"
            return verdict
        try:
            timestamp = int(oauth_map.get("oauth_timestamp", ""))
        except ValueError:
            verdict["reason"] = "bad timestamp"
            return verdict
        if abs(time.time() - timestamp) > 300:
            verdict["reason"] = "timestamp out of bounds"
            return verdict
        nonce = oauth_map.get("oauth_nonce", "")
        if not nonce:
            verdict["reason"] = "missing nonce"
            return verdict

        token = oauth_map.get("oauth_token")
        verdict["token"] = token
        with service.lock:
            if token is None:
                token_secret, kind = "", "consumer"
            elif token in service.access_tokens:
                token_secret, kind = service.access_tokens[token], "access"
            elif token in service.request_tokens:
                token_secret, kind = service.request_tokens[token], "request"
            else:
                verdict["reason"] = "unknown token"
                return verdict

        host = self.headers.get("Host", "")
        base_uri = "https://" + host.lower() + split.path
        if host.endswith(":443"):
            base_uri = "https://" + host[:-4].lower() + split.path
        base = signature_base(self.command, base_uri, signed)
        expected = hmac_sha1(base, args.consumer_secret, token_secret)
        if not hmac.compare_digest(expected, oauth_map.get("oauth_signature", "")):
            verdict["reason"] = "signature mismatch"
            verdict["base"] = base
            return verdict

        with service.lock:
            replay_key = (args.consumer_key, token, timestamp, nonce)
            if replay_key in service.seen_nonces:
                verdict["reason"] = "nonce replayed"
                return verdict
            service.seen_nonces.add(replay_key)
            if kind == "request":
                # A request token serves exactly one access-token step.
                del service.request_tokens[token]
                verdict["request_tokens_used"] = {token}
        verdict["valid"] = True
        verdict["kind"] = kind
        verdict["nonce"] = nonce
        return verdict


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
    server.service = Service(args)

    def watch_stdin():
        for line in sys.stdin:
            if line.strip():
                options = dict(server.service.defaults)
                options.update(json.loads(line))
                with server.service.lock:
                    server.service.reset(argparse.Namespace(**options))
                server.service.log({"event": "control"})
        os._exit(0)

    def lifetime():
        time.sleep(args.lifetime)
        os._exit(1)

    threading.Thread(target=watch_stdin, daemon=True).start()
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
    parser.add_argument("--consumer-key", required=True)
    parser.add_argument("--consumer-secret", required=True)
    parser.add_argument("--access-token", default="")
    parser.add_argument("--access-secret", default="")
    parser.add_argument("--issue-token", default="4242-AccessToken")
    parser.add_argument("--issue-secret", default="AccessSecret")
    parser.add_argument("--pin", default="1234567")
    parser.add_argument("--screen-name", default="dj_fenk")
    parser.add_argument("--user-id", default="4242")
    parser.add_argument("--hang", type=float, default=0.0,
                        help="answer no request; hold each for this many seconds")
    parser.add_argument("--pad", type=int, default=0,
                        help="make the credentials reply this many bytes longer")
    parser.add_argument("--lifetime", type=float, default=120.0)
    parser.add_argument("--v2-only", action="store_true", help="v1.1 calls answer code 453")
    parser.add_argument("--post-limit", type=int, default=-1, help="posts before 429")
    parser.add_argument("--reset-in", type=float, default=60, help="429 reset, seconds ahead")
    parser.add_argument("--refuse-request-token", action="store_true")
    serve(parser.parse_args())


if __name__ == "__main__":
    main()
