#!/usr/bin/env python3
"""A local stand-in for the Twitter REST API, for the client's tests.

fake_twitter.py certs DIR: the authorities ca and other-ca, server (127.0.0.1, by ca).
fake_twitter.py serve --cert C --key K --consumer-key CK --consumer-secret CS [options]:
HTTPS on 127.0.0.1; prints "PORT <n>", then a JSON line per request with its verdict on
the OAuth 1.0a signature (RFC 5849 section 3). A JSON line on stdin resets the state and
sets the options it names ("_" for "-")."""
import base64, functools, hashlib, hmac, json, math, os, re, sys, threading  # noqa
import time
from types import SimpleNamespace
from urllib.parse import parse_qsl, quote, unquote, urlencode, urlsplit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import httpsfake  # noqa: E402

OPTIONS = {  # name: default
    "access_token": "", "access_secret": "", "issue_token": "4242-AccessToken",
    "issue_secret": "AccessSecret", "pin": "1234567", "screen_name": "dj_fenk", "user_id": "4242",
    "hang": 0.0, "pad": 0,  # seconds to hold every request unanswered; bytes added to the user
    "v2_only": False,  # v1.1 calls answer 403 with code 453
    "post_limit": -1, "reset_in": 60.0,  # posts before 429 (negative: none), seconds till reset
    "refuse_request_token": False,
}
FORM, LOCK = "text/html; charset=utf-8", threading.Lock()
URL = re.compile(r"https?://\S+")
DUPLICATE = "You are not allowed to create a Tweet with duplicate content."
defaults, state, enc = {}, None, functools.partial(quote, safe="-._~")


def reset(options):
    global state
    o = SimpleNamespace(**dict(defaults, **options))
    state = SimpleNamespace(o=o, nonces=set(), texts=set(), counter=0, posts=0, limited=None,
                            tokens={o.access_token: ("access", o.access_secret)}
                            if o.access_token else {})


def weighted(text):  # as the service counts: a URL 23, CJK and emoji 2
    light = lambda c: c <= 4351 or 8192 <= c <= 8205 or 8208 <= c <= 8223 or 8242 <= c <= 8247
    return 23 * len(URL.findall(text)) + sum(1 if light(ord(c)) else 2 for c in URL.sub("", text))


def errors(status, code, message):
    return status, json.dumps({"errors": [{"code": code, "message": message}]})


def problem(status, title, detail):
    return status, json.dumps({"title": title, "detail": detail, "status": status,
                               "type": "about:blank"}), "application/problem+json"


def verify(headers, method, path, params):
    """The kind of token ("consumer", "request", "access", None: badly signed) and why."""
    header = headers.get_all("Authorization") or []
    items = [i.strip().partition("=") for i in header[0][6:].split(",") if i.strip()] \
        if header else []
    if len(header) != 1 or not header[0].startswith("OAuth ") or \
            not all(re.fullmatch('"[^"]*"', v) for _, _, v in items):
        return None, "expected one well-formed OAuth Authorization header"
    oauth = [(unquote(k), unquote(v[1:-1])) for k, _, v in items]
    o, stamp, ctype = dict(oauth), dict(oauth).get("oauth_timestamp", ""), headers["Content-Type"]
    kind, secret = state.tokens.get(o["oauth_token"], (None, "")) if "oauth_token" in o \
        else ("consumer", "")
    for ok, reason in [
            (len(o) == len(oauth), "repeated header parameter"),
            (not ctype or ctype.startswith(("application/json", "application/x-www-form")),
             "body neither JSON nor form"),
            (o.get("oauth_consumer_key") == state.o.consumer_key, "unknown consumer key"),
            (o.get("oauth_signature_method") == "HMAC-SHA1", "unsupported signature method"),
            (o.get("oauth_version", "1.0") == "1.0", "bad version"),
            ("oauth_callback" not in o, "unexpected oauth_callback"),
            (stamp.isdigit() and abs(time.time() - int(stamp)) <= 300, "bad timestamp"),
            (o.get("oauth_nonce"), "missing nonce"),
            (kind, "unknown token")]:
        if not ok:
            return None, reason
    host = headers["Host"].lower().removesuffix(":443")
    signed = sorted((enc(k), enc(v)) for k, v in params + oauth
                    if k not in ("oauth_signature", "realm"))
    base = "&".join([method, enc("https://" + host + path),
                     enc("&".join("%s=%s" % kv for kv in signed))])
    key = enc(state.o.consumer_secret) + "&" + enc(secret)
    digest = base64.b64encode(hmac.new(key.encode(), base.encode(), hashlib.sha1).digest())
    if not hmac.compare_digest(digest.decode(), o.get("oauth_signature", "")):
        return None, "signature mismatch, base " + base
    with LOCK:
        if (o.get("oauth_token"), stamp, o["oauth_nonce"]) in state.nonces:
            return None, "nonce replayed"
        state.nonces.add((o.get("oauth_token"), stamp, o["oauth_nonce"]))
        if kind == "request":  # a request token serves one access-token step
            del state.tokens[o["oauth_token"]]
    params += [(k, v) for k, v in oauth if k == "oauth_verifier"]
    return kind, ""


def request_token(kind, p):
    if kind != "consumer" or state.o.refuse_request_token:
        return errors(401, 89, "Invalid or expired token.")
    with LOCK:
        state.counter += 1
        token, secret = "RT-%d" % state.counter, "RS-%d" % state.counter
        state.tokens[token] = ("request", secret)
    return 200, urlencode({"oauth_token": token, "oauth_token_secret": secret,
                           "oauth_callback_confirmed": "true"}), FORM


def access_token(kind, p):
    o = state.o
    if kind != "request" or p.get("oauth_verifier") != o.pin:
        return 401, "Invalid oauth_verifier parameter", FORM
    with LOCK:
        state.tokens[o.issue_token] = ("access", o.issue_secret)
    return 200, urlencode({"oauth_token": o.issue_token, "oauth_token_secret": o.issue_secret,
                           "user_id": o.user_id, "screen_name": o.screen_name}), FORM


def post(text, v2):
    o, now = state.o, time.time()
    with LOCK:
        if state.limited and now >= state.limited:
            state.limited, state.posts = None, 0
        if not state.limited and 0 <= o.post_limit <= state.posts:
            state.limited = math.ceil(now + o.reset_in)
        limited, duplicate = state.limited, text in state.texts
        if not limited:
            state.posts += 1
            state.texts.add(text)
    if limited:  # the 24-hour user limit is used up, the 15-minute window is not
        return 429, "", "text/plain", [
            ("x-rate-limit-remaining", "5"), ("x-rate-limit-reset", str(int(now) + 900)),
            ("x-user-limit-24hour-remaining", "0"), ("x-user-limit-24hour-reset", str(limited))]
    if weighted(text) > 280:
        return problem(403, "Forbidden", "Your Tweet text is too long.")
    if duplicate:
        return problem(403, "Forbidden", DUPLICATE) if v2 else \
            errors(403, 187, "Status is a duplicate.")
    return (201, json.dumps({"data": {"id": "1", "text": text}})) if v2 else \
        (200, json.dumps({"id_str": "1", "text": text}))


def user(name):
    return 200, json.dumps({"id": int(state.o.user_id), "id_str": state.o.user_id, "name": "DJ",
                            "screen_name": name, "description": "x" * state.o.pad})


ROUTES = {  # (method, path): reply to a request with this kind of token and parameters
    ("GET", "/oauth/request_token"): request_token,
    ("GET", "/oauth/access_token"): access_token,
    ("GET", "/1.1/account/verify_credentials.json"): lambda k, p: user(state.o.screen_name),
    ("GET", "/1.1/users/show.json"): lambda k, p: user(p.get("screen_name", "")),
    ("POST", "/1.1/statuses/update.json"): lambda k, p: post(p.get("status", ""), False),
    ("GET", "/2/users/me"): lambda k, p: (200, json.dumps({"data": {
        "id": state.o.user_id, "name": "DJ", "username": state.o.screen_name}})),
    ("POST", "/2/tweets"): lambda k, p: post(p.get("text", ""), True),
}


class Handler(httpsfake.Handler):
    def answer(self):
        (_, _, path, query, _), body = urlsplit(self.path), self.body()
        record = {"event": "request", "method": self.command, "path": path}
        if state.o.hang:  # hold the request, then drop the connection unanswered
            httpsfake.log(record)
            time.sleep(state.o.hang)
            self.close_connection = True
            return
        form = (self.headers["Content-Type"] or "").startswith("application/x-www-form")
        params = parse_qsl(query + "&" + body.decode() if form else query,
                           keep_blank_values=True)
        kind, reason = verify(self.headers, self.command, path, params)
        p = dict(params, **(json.loads(body) if body and not form else {}))
        if self.command == "POST":
            record["status_text"] = p.get("status", p.get("text"))
        route = ROUTES.get((self.command, path))
        if path.startswith("/1.1/") and state.o.v2_only:
            reply = errors(403, 453, "You currently have access to limited v1.1 endpoints only.")
        elif not route:
            reply = errors(404, 34, "Sorry, that page does not exist.")
        elif kind != "access" and not path.startswith("/oauth/"):
            reply = problem(401, "Unauthorized", "Unauthorized") if path.startswith("/2/") else \
                errors(401, 89, "Invalid or expired token.")
        else:
            reply = route(kind, p)
        httpsfake.log(dict(record, valid=kind is not None, reason=reason, status=reply[0]))
        self.reply(*reply)


if __name__ == "__main__":
    httpsfake.main(Handler, [("ca", None), ("other-ca", None), ("server", "ca")],
                   dict(consumer_key=None, consumer_secret=None, **OPTIONS),
                   lambda arguments: defaults.update(arguments) or reset({}) or reset)
