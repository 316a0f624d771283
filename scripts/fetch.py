#!/usr/bin/python3
"""fetch.py URL DEST SIZE [exact]: URL into DEST, never more than SIZE bytes
(with exact, SIZE bytes or nothing).

Exit status 0 with DEST complete; and no DEST, with the reason on stderr:
2 where the server has no such file, 3 where it sent more or other than
SIZE bytes, 1 where it cannot be reached or answers what is not HTTP.
"""
import http.client
import os
import signal
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

TIMEOUT = 60
# However slowly it comes, a fetch ends: two minutes, and a second more for
# each 256 KiB it may hold.
PACE = 256 << 10


class Missing(Exception):
    """The server answered that it has no such file."""


class Failed(Exception):
    """The file could not be fetched (unreachable), or was not what was asked
    for: the message says which."""

    def __init__(self, message, unreachable=False):
        super().__init__(message)
        self.unreachable = unreachable


class Redirect(urllib.request.HTTPRedirectHandler):
    """Redirects followed, a few, to http and https alone, their bodies never read."""
    max_redirections = 5

    def http_error_302(self, req, fp, code, msg, headers):
        url = headers.get("location") or headers.get("uri")
        fp.close()
        if not url:
            return None
        url = urllib.parse.urljoin(req.full_url, url)
        if urllib.parse.urlparse(url).scheme not in ("http", "https"):
            raise Failed("%s sends clients to %s, which is neither http nor https" % (req.full_url, url), True)
        seen = getattr(req, "redirect_dict", {})
        if len(seen) >= self.max_redirections or url in seen:
            raise Failed("%s sends clients round and round" % req.full_url, True)
        new = urllib.request.Request(url, headers=req.headers, method="GET")
        new.redirect_dict = dict(seen, **{url: 1})
        return self.parent.open(new, timeout=req.timeout)

    http_error_301 = http_error_303 = http_error_307 = http_error_308 = http_error_302


def apt_proxies():
    # The proxy that the system's apt is configured with, as apt-helper used it.
    try:
        out = subprocess.run(["apt-config", "shell", "http", "Acquire::http::Proxy", "https", "Acquire::https::Proxy"],
                             capture_output=True, text=True, check=False).stdout
    except OSError:
        return {}
    found = {}
    for line in out.splitlines():
        scheme, _, value = line.partition("=")
        value = value.strip("'")
        if value and value.upper() != "DIRECT":
            found[scheme] = value
    return found


_opener = None


def opener():
    global _opener
    if _opener is None:
        proxies = urllib.request.getproxies()
        proxies.update(apt_proxies())
        _opener = urllib.request.build_opener(urllib.request.ProxyHandler(proxies), Redirect)
    return _opener


class Late(Exception):
    """The whole fetch took longer than its time."""


def _late(signum, frame):
    raise Late()


def fetch(url, dest, size, exact=False, sink=None):
    """URL into DEST (through DEST.partial, renamed when complete), stopping at
    the first byte past SIZE; with exact, anything but SIZE bytes fails. sink,
    if given, sees every block as it arrives (to hash it)."""
    partial = dest + ".partial"
    limit = 120 + size / PACE
    old = signal.signal(signal.SIGALRM, _late)
    signal.setitimer(signal.ITIMER_REAL, limit)
    try:
        with opener().open(url, timeout=TIMEOUT) as answer, open(partial, "wb") as out:
            got = 0
            while True:
                block = answer.read(min(65536, size + 1 - got))
                if not block:
                    break
                got += len(block)
                if got > size:
                    raise Failed("%s sent more than the %d bytes %s: stopped there" % (
                        url, size, "it should hold" if exact else "it may hold"))
                out.write(block)
                if sink:
                    sink(block)
        if exact and got != size:
            raise Failed("%s sent %d bytes, and it should hold %d" % (url, got, size))
        os.replace(partial, dest)
    except Late:
        raise Failed("%s took longer than %d s: stopped there" % (url, limit), True) from None
    except urllib.error.HTTPError as e:
        if e.code in (404, 410):
            raise Missing(url) from None
        raise Failed("%s: the server answered %d %s" % (url, e.code, e.reason), True) from None
    except urllib.error.URLError as e:
        if isinstance(e.reason, (FileNotFoundError, NotADirectoryError)):
            raise Missing(url) from None
        raise Failed("%s cannot be reached: %s" % (url, e.reason), True) from None
    except (http.client.HTTPException, ValueError) as e:
        raise Failed("%s answers what is not HTTP that can be read: %s" % (url, e.__class__.__name__), True) from None
    except OSError as e:
        raise Failed("%s cannot be reached: %s" % (url, e), True) from None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        if os.path.exists(partial):
            os.remove(partial)


def main(args):
    if len(args) not in (3, 4) or args[3:] not in ([], ["exact"]) or not args[2].isdigit():
        sys.exit("usage: fetch.py URL DEST SIZE [exact]")
    try:
        fetch(args[0], args[1], int(args[2]), exact=args[3:] == ["exact"])
    except Missing:
        sys.exit(2)
    except Failed as e:
        print(e, file=sys.stderr)
        sys.exit(1 if e.unreachable else 3)


if __name__ == "__main__":
    main(sys.argv[1:])
