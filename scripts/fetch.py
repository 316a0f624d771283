#!/usr/bin/python3
"""fetch.py URL DEST SIZE [exact]: URL into DEST, never more than SIZE bytes
(with exact, SIZE bytes or nothing).

Exit status 0 with DEST complete; and no DEST, with the reason on stderr:
2 where the server has no such file, 3 where it sent more or other than
SIZE bytes, 1 where it cannot be reached.
"""
import os
import subprocess
import sys
import urllib.error
import urllib.request

TIMEOUT = 60


class Missing(Exception):
    """The server answered that it has no such file."""


class Failed(Exception):
    """The file could not be fetched (unreachable), or was not what was asked
    for: the message says which."""

    def __init__(self, message, unreachable=False):
        super().__init__(message)
        self.unreachable = unreachable


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
        _opener = urllib.request.build_opener(urllib.request.ProxyHandler(proxies))
    return _opener


def fetch(url, dest, size, exact=False, sink=None):
    """URL into DEST (through DEST.partial, renamed when complete), stopping at
    the first byte past SIZE; with exact, anything but SIZE bytes fails. sink,
    if given, sees every block as it arrives (to hash it)."""
    partial = dest + ".partial"
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
    except urllib.error.HTTPError as e:
        if e.code in (404, 410):
            raise Missing(url) from None
        raise Failed("%s: the server answered %d %s" % (url, e.code, e.reason)) from None
    except urllib.error.URLError as e:
        if isinstance(e.reason, FileNotFoundError):
            raise Missing(url) from None
        raise Failed("%s cannot be reached: %s" % (url, e.reason), unreachable=True) from None
    except OSError as e:
        raise Failed("%s cannot be reached: %s" % (url, e), unreachable=True) from None
    finally:
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
