#!/usr/bin/env python3
"""A local stand-in for the maker's web service, for tests.

fake_webservice.py certs DIR: ca.pem (trust it as the extra CA), server.pem/.key
(127.0.0.1, by ca) and untrusted.pem/.key (127.0.0.1, by an unrelated authority).
fake_webservice.py serve --cert C --key K [--lifetime S]: HTTPS on 127.0.0.1, prints
"PORT <n>", then one JSON line per request: {"event": "request", "path", "query",
"params" (decoded as the service's PHP would), "status"}. /ip/ip.php answers a property
list with City, Country, CountryCode, /version_win.plist one with version, /track.php
and /session.php "OK". A JSON line on stdin changes the replies from then on
(confirmed by {"event": "control"}): city, country, country_code, version (null leaves
the key out); status (of every reply); hang (accept and never answer); pad (filler
bytes); compact (no whitespace between key and string); raw (the whole reply instead)."""
import os, sys, threading, time  # noqa: E401
from urllib.parse import parse_qsl, urlsplit
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import httpsfake  # noqa: E402

LOCK = threading.Lock()
config = {"city": "Berlin", "country": "Germany", "country_code": "DE", "version": "1.9",
          "status": 200, "hang": False, "pad": 0, "compact": False, "raw": None, "lifetime": 120}


def plist(c, pairs):
    if c["raw"] is not None:
        return c["raw"]
    gap = "" if c["compact"] else "\n    "
    body = "".join("<key>%s</key>%s<string>%s</string>\n" % (escape(k), gap, escape(v))
                   for k, v in pairs if v is not None)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n%s'
            '</dict>\n</plist>\n<!-- %s -->\n' % (body, "x" * c["pad"]))


class Handler(httpsfake.Handler):
    def answer(self):
        with LOCK:
            c = dict(config)
        split = urlsplit(self.path)
        httpsfake.log({"event": "request", "path": split.path, "query": split.query,
                       "params": dict(parse_qsl(split.query, keep_blank_values=True)),
                       "status": 0 if c["hang"] else c["status"]})
        if c["hang"]:
            time.sleep(c["lifetime"])
            self.close_connection = True
            return
        body = {"/ip/ip.php": lambda: plist(c, [("City", c["city"]), ("Country", c["country"]),
                                                ("CountryCode", c["country_code"])]),
                "/version_win.plist": lambda: plist(c, [("version", c["version"])]),
                "/track.php": lambda: "OK", "/session.php": lambda: "OK"}.get(split.path)
        if body is None:
            return self.reply(404, "not found", "text/plain")
        self.reply(c["status"], body(), "text/xml")


def control(change):
    with LOCK:
        config.update(change)


if __name__ == "__main__":
    httpsfake.main(Handler, [("ca", None), ("server", "ca"), ("other-ca", None),
                             ("untrusted", "other-ca")],
                   {}, lambda arguments: config.update(lifetime=arguments["lifetime"]) or control)
