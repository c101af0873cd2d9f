#!/usr/bin/env python3
"""Local stand-ins for Mastodon, Bluesky and a Discord webhook, for tests: one HTTPS
server on 127.0.0.1, one small route table per network.

fake_networks.py certs DIR: ca.pem (trust it as the extra CA), server.pem/.key (127.0.0.1).
fake_networks.py serve --cert C --key K: prints "PORT <n>", then one JSON line per request:
{"event": "request", "network", "method", "path", "status", "text" (a post's), ...}. A post
that is taken also logs "accepted": true; Bluesky's its "facets_ok" (the byte offsets cut
"#tag" out of the UTF-8 text, and they are the tags Bluesky's app finds), Discord's
"mentions" (allowed_mentions). A JSON line {"<network>": {option: value}} on stdin resets
every network and sets the options named:
  hang: hold each request this long, then drop it unanswered; fail: answer each request
  with this status ("fail_times" times, or always when negative); lose: take that many
  posts, then drop the connection unanswered; limit: posts taken before a 429 whose reset
  is "reset_in" seconds away (each network's own header); max_characters (Mastodon's
  instance; 0: left out); expire: Bluesky access tokens serve one post only."""
import json, math, os, re, sys, threading, time, unicodedata  # noqa: E401
from datetime import datetime, timezone
from urllib.parse import parse_qsl, urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import httpsfake  # noqa: E402

LOCK = threading.Lock()
DEFAULTS = {"hang": 0.0, "fail": 0, "fail_times": -1, "lose": 0, "limit": -1, "reset_in": 2.0,
            "max_characters": 500, "expire": False}
NETWORKS = ("mastodon", "bluesky", "discord")
HANDLE, PASSWORD, DID, HOOK = "dj.test", "app-pass-1234", "did:plc:fenk", "/api/webhooks/1/HookToken"
state = {}


def reset(change):
    for n in NETWORKS:
        state[n] = dict(DEFAULTS, **change.get(n, {}), posts=0, limited=None, keys={})
    if not change.get("keep_sessions"):
        state.update(mastodon_tokens={"MastoToken"}, access=set(), refresh=set(), counter=0)


def reset_header(network, at):
    return {"mastodon": ("X-RateLimit-Reset", datetime.fromtimestamp(at, timezone.utc)
                         .isoformat(timespec="milliseconds").replace("+00:00", "Z")),
            "bluesky": ("ratelimit-reset", str(math.ceil(at))),
            "discord": ("Retry-After", "%.3f" % max(0.0, at - time.time()))}[network]


def rate_limited(network):
    """The 429 reply when the network's limit is used up, else None; counts the post."""
    s, now = state[network], time.time()
    with LOCK:
        if s["limited"] and now >= s["limited"]:
            s["limited"], s["posts"] = None, 0
        if not s["limited"] and 0 <= s["limit"] <= s["posts"]:
            s["limited"] = now + s["reset_in"]
        if s["limited"]:
            return 429, {"error": "Too many requests"}, [reset_header(network, s["limited"])]
        s["posts"] += 1


def tags(text):  # as Bluesky's app finds them
    found = []
    for m in re.finditer(r"(?:^|(?<=\s))[#\uff03](\S*)", text):
        tag = m.group(1)
        while tag and unicodedata.category(tag[-1]).startswith("P"):
            tag = tag[:-1]
        if any(not (c.isdigit() or unicodedata.category(c).startswith("P")) for c in tag) and \
                len(tag) <= 64 and len(tag.encode()) <= 640:
            found.append(tag)
    return found


def session():
    with LOCK:
        state["counter"] += 1
        n = state["counter"]
        state["access"].add("acc-%d" % n)
        state["refresh"].add("ref-%d" % n)
    return 200, {"accessJwt": "acc-%d" % n, "refreshJwt": "ref-%d" % n, "handle": HANDLE,
                 "did": DID}


def bearer(h):
    return (h.headers.get("Authorization") or "").removeprefix("Bearer ")


def mastodon(h, path, body, record):
    if path == "/api/v1/apps":
        f = dict(parse_qsl(body.decode()))
        ok = f.get("redirect_uris") == "urn:ietf:wg:oauth:2.0:oob" and \
            f.get("scopes") == "write:statuses read:accounts"
        return (200, {"client_id": "cid", "client_secret": "csecret"}) if ok else (422, {})
    if path == "/oauth/token":
        f = dict(parse_qsl(body.decode()))
        if (f.get("code"), f.get("client_secret")) != ("CODE", "csecret"):
            return 400, {"error": "invalid_grant", "error_description": "The code is invalid."}
        state["mastodon_tokens"].add("MastoToken2")
        return 200, {"access_token": "MastoToken2", "token_type": "Bearer"}
    if path == "/api/v2/instance":
        limit = state["mastodon"]["max_characters"]
        return 200, {"configuration": {"statuses": {"max_characters": limit}}} if limit else {}
    if bearer(h) not in state["mastodon_tokens"]:
        return 401, {"error": "The access token is invalid"}
    if path == "/api/v1/accounts/verify_credentials":
        return 200, {"username": "dj", "acct": "dj"}
    if path == "/api/v1/statuses":
        post, key = json.loads(body), h.headers.get("Idempotency-Key")
        text = record["text"] = post.get("status")
        record.update(visibility=post.get("visibility"), key=key)
        if key in state["mastodon"]["keys"]:  # the same post again: the same answer
            return 200, state["mastodon"]["keys"][key]
        url_free = re.sub(r"https?://\S+", "x" * 23, text)
        if len(url_free) > (state["mastodon"]["max_characters"] or 500):
            return 422, {"error": "Validation failed: Text character limit exceeded"}
        limited = rate_limited("mastodon")
        if limited:
            return limited
        answer = {"id": key, "url": "https://127.0.0.1/@dj/%d" % state["mastodon"]["posts"]}
        state["mastodon"]["keys"][key] = answer
        record["accepted"] = True
        return 200, answer
    return 404, {"error": "Record not found"}


def bluesky(h, path, body, record):
    xrpc = path.removeprefix("/xrpc/")
    if xrpc == "com.atproto.server.createSession":
        login = json.loads(body)
        if (login.get("identifier"), login.get("password")) != (HANDLE, PASSWORD):
            return 401, {"error": "AuthenticationRequired", "message": "Invalid identifier or password"}
        return session()
    if xrpc == "com.atproto.server.refreshSession":
        with LOCK:
            known = bearer(h) in state["refresh"]
            state["refresh"].discard(bearer(h))
        return session() if known else (400, {"error": "ExpiredToken", "message": "Token has expired"})
    if xrpc != "com.atproto.repo.createRecord":
        return 404, {"error": "MethodNotImplemented"}
    with LOCK:
        known = bearer(h) in state["access"]
        if known and state["bluesky"]["expire"]:
            state["access"].discard(bearer(h))
    if not known:
        return 400, {"error": "ExpiredToken", "message": "Token has expired"}
    call = json.loads(body)
    post = call.get("record", {})
    text = record["text"] = post.get("text", "")
    data = text.encode()
    cut = [(data[f["index"]["byteStart"]:f["index"]["byteEnd"]].decode(errors="replace"),
            f["features"][0]["tag"]) for f in post.get("facets", [])]
    record["facets_ok"] = all(c == "#" + t for c, t in cut) and [t for _, t in cut] == tags(text)
    created = post.get("createdAt", "")
    if (call.get("repo"), call.get("collection"), post.get("$type")) != \
            (DID, "app.bsky.feed.post", "app.bsky.feed.post") or not created.endswith("Z") or \
            abs(datetime.fromisoformat(created[:-1]).replace(tzinfo=timezone.utc).timestamp()
                - time.time()) > 60 or len(text) > 300:
        return 400, {"error": "InvalidRequest", "message": "Invalid app.bsky.feed.post record"}
    limited = rate_limited("bluesky")
    if limited:
        return limited
    record["accepted"] = True
    return 200, {"uri": "at://%s/app.bsky.feed.post/%d" % (DID, state["bluesky"]["posts"]),
                 "cid": "bafy"}


def discord(h, path, body, record):
    if path != HOOK:
        return 401, {"message": "Invalid Webhook Token", "code": 50027}
    if h.command == "GET":
        return 200, {"id": "1", "name": "FENK hook", "type": 1}
    post = json.loads(body)
    text = record["text"] = post.get("content", "")
    record["mentions"] = post.get("allowed_mentions")
    if len(text) > 2000:
        return 400, {"message": "Invalid Form Body", "code": 50035}
    limited = rate_limited("discord")
    if limited:
        return limited
    record["accepted"] = True
    return 200, {"id": str(1000 + state["discord"]["posts"]), "content": text}


class Handler(httpsfake.Handler):
    def answer(self):
        path, body = urlsplit(self.path).path, self.body()
        network = "bluesky" if path.startswith("/xrpc/") else \
            "discord" if path.startswith("/api/webhooks/") else "mastodon"
        s = state[network]
        record = {"event": "request", "network": network, "method": self.command, "path": path}
        if s["hang"]:
            httpsfake.log(dict(record, status=0))
            time.sleep(s["hang"])
            self.close_connection = True
            return
        with LOCK:
            failing = s["fail"] and s["fail_times"] != 0
            s["fail_times"] -= 1 if failing else 0
        if failing:
            # Echoes the credentials, as a careless service might: they must not reach a log.
            told = "Failing as told (%s %s)" % (bearer(self), path)
            status, reply = s["fail"], {"error": told, "message": told}
            headers = [reset_header(network, time.time() + s["reset_in"])] if status == 429 else []
        else:
            status, reply, *headers = {"mastodon": mastodon, "bluesky": bluesky,
                                       "discord": discord}[network](self, path, body, record)
            headers = headers[0] if headers else []
        if record.get("accepted") and s["lose"] > 0 and self.command == "POST":
            s["lose"] -= 1  # the answer breaks off: too late for libcurl to send it again
            httpsfake.log(dict(record, status=0))
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{")
            self.close_connection = True
            return
        httpsfake.log(dict(record, status=status))
        self.reply(status, json.dumps(reply), headers=headers)


if __name__ == "__main__":
    httpsfake.main(Handler, [("ca", None), ("server", "ca")], {},
                   lambda arguments: reset({}) or reset)
