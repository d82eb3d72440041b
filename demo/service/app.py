#!/usr/bin/python3
"""The demo service behind nginx (CGI through fcgiwrap): a sign-in form that
sets a session cookie, and pages that only a signed-in browser sees.

Sessions are files named after their token in VORLA_SESSIONS, so they last as
long as the demo site runs. The cookie carries no expiry: a browser that keeps
session cookies across its own restarts stays signed in.
"""
import html
import os
import re
import secrets
import sys
import urllib.parse

USER = "demo"
PASSWORD = "demo"
COOKIE = "vorla_session"
SESSIONS = os.environ.get("VORLA_SESSIONS", "")
VENDOR_HOST = os.environ.get("VORLA_VENDOR_HOST", "www.vorla.example")

STYLE = """<style>
body { font-family: sans-serif; background: #f3f5f8; margin: 0; }
main { max-width: 28em; margin: 4em auto; background: #fff; padding: 2em; border-radius: 8px;
       box-shadow: 0 1px 4px #0002; }
label { display: block; margin: 0.8em 0 0.2em; }
input { width: 100%; box-sizing: border-box; padding: 0.4em; font-size: 1em; }
button { margin-top: 1.2em; padding: 0.5em 1.5em; font-size: 1em; }
.error { color: #b00020; }
li { margin: 0.6em 0; }
</style>"""


def respond(status, headers=(), body=""):
    out = [f"Status: {status}"]
    out += [f"{name}: {value}" for name, value in headers]
    if body:
        out.append("Content-Type: text/html; charset=utf-8")
    sys.stdout.write("\r\n".join(out) + "\r\n\r\n" + body)


def page(title, content):
    return (f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>{title}</title>{STYLE}</head>"
            f"<body><main>{content}</main></body></html>")


def session_file(token):
    # Only our own tokens name a file: nothing from the request reaches a path otherwise.
    if not SESSIONS or not re.fullmatch(r"[0-9a-f]{32}", token):
        return None
    return os.path.join(SESSIONS, token)


def current_user():
    for part in os.environ.get("HTTP_COOKIE", "").split(";"):
        name, _, value = part.strip().partition("=")
        if name == COOKIE:
            path = session_file(value)
            if path and os.path.isfile(path):
                with open(path, encoding="utf-8") as f:
                    return f.read()
    return None


def signin_form(error=""):
    message = f'<p class="error">{html.escape(error)}</p>' if error else ""
    return page("Vorla Sign-in", f"""
<h1>Sign in to Vorla</h1>
<p>Demo account: user <b>{USER}</b>, password <b>{PASSWORD}</b> (filled in).</p>
{message}
<form method="post" action="/signin">
  <label for="user">User name</label><input id="user" name="user" value="{USER}">
  <label for="password">Password</label><input id="password" name="password" type="password" value="{PASSWORD}">
  <button id="signin" type="submit" autofocus>Sign in</button>
</form>""")


def workspace(user):
    return page("Vorla Workspace", f"""
<h1>Signed in</h1>
<p>Welcome, {html.escape(user)}. This browser stays signed in until the demo site stops.</p>
<ul>
  <li><a id="popup" href="http://{VENDOR_HOST}/" target="_blank">Open the vendor's home page in a pop-up</a></li>
  <li><a id="download" href="/report.csv">Download a report</a></li>
</ul>
<form method="post" action="/signout"><button type="submit">Sign out</button></form>""")


def main():
    method = os.environ.get("REQUEST_METHOD", "GET")
    path = os.environ.get("DOCUMENT_URI", "/")
    user = current_user()

    if path == "/signin" and method == "POST":
        length = int(os.environ.get("CONTENT_LENGTH") or 0)
        form = urllib.parse.parse_qs(sys.stdin.read(min(length, 65536)))
        if form.get("user", [""])[0] != USER or form.get("password", [""])[0] != PASSWORD:
            respond("401 Unauthorized", body=signin_form("Wrong user name or password."))
            return
        token = secrets.token_hex(16)
        with open(session_file(token), "w", encoding="utf-8") as f:
            f.write(USER)
        respond("303 See Other", [("Set-Cookie", f"{COOKIE}={token}; Path=/; HttpOnly; SameSite=Lax"),
                                  ("Location", "/workspace")])
    elif path == "/signin":
        if user:
            respond("303 See Other", [("Location", "/workspace")])
        else:
            respond("200 OK", body=signin_form())
    elif path == "/signout" and method == "POST":
        respond("303 See Other", [("Set-Cookie", f"{COOKIE}=; Path=/; Max-Age=0"), ("Location", "/signin")])
    elif path in ("/workspace", "/report.csv") and not user:
        respond("303 See Other", [("Location", "/signin")])
    elif path == "/workspace":
        respond("200 OK", body=workspace(user))
    elif path == "/report.csv":
        sys.stdout.write("Status: 200 OK\r\nContent-Type: text/csv\r\n"
                         "Content-Disposition: attachment; filename=report.csv\r\n\r\n"
                         "month,visits\r\n2026-11,1204\r\n2026-12,1377\r\n")
    else:
        respond("404 Not Found", body=page("Not found", "<h1>Not found</h1>"))


main()
