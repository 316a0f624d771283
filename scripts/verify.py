#!/usr/bin/python3
"""verify.py [--copy DIR] [--summary FILE] [--no-record] DIR|URL
verify.py --sums DIR

Checks a published repository tree (docs/releasing.md); --sums writes the
SHA256SUMS of the tree DIR on stdout. Environment: FINGERPRINT, ACCEPT_OLDER,
REBUILDERS, THRESHOLD, ATTESTATIONS, XDG_STATE_HOME.
"""
import argparse
import bz2
import fcntl
import functools
import gzip
import hashlib
import json
import lzma
import os
import pathlib
import re
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile
import time
import unicodedata
import urllib.parse
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # nothing written beside the scripts
import dsse  # noqa: E402
import fetch  # noqa: E402
import members  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
failures, news = [], []
location = top = work = source = ""
files = set()  # the tree's own files that it lists, in the private copy

# The names a release gives what it publishes (cmake/package.cmake).
KEYRING, RELEASE = "libcwork-archive-keyring", "libcwork-release"
KEYRING_FILE, KEYRING_ALIAS = re.compile(KEYRING + r"_(.+)\+([^+_]+)_all\.deb"), re.compile(KEYRING + r"-([^_]+)\.deb")
RELEASE_FILE, RELEASE_ALIAS = re.compile(RELEASE + r"-(.+)\.noarch\.rpm"), RELEASE + ".noarch.rpm"
KEYRING_GPG, RELEASE_ASC = "./usr/share/keyrings/" + KEYRING + ".gpg", "./etc/pki/rpm-gpg/RPM-GPG-KEY-libcwork"
RECORD_NAME, SOURCE_NAME = "libcwork-%s.buildinfo", "libcwork-%s-source.tar.gz"
ATTESTATION_NAME = "libcwork-%s.rebuilt-by-%s.intoto.json"


def bad(name, what):
    if "%s: %s" % (name, what) not in failures:
        failures.append("%s: %s" % (name, what))


def say(line):
    news.append(line)


def die(message):
    """Give up: what failed so far, and MESSAGE, why nothing more is checked."""
    for line in failures:
        print("verify: %s: %s" % (location, line), file=sys.stderr)
    sys.exit("verify: " + message)


def when(epoch):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(epoch))


def run(*command, data=None):
    return subprocess.run(command, input=data, capture_output=True, check=False)


def needs(command):
    if shutil.which(command):
        return
    package = command
    with open(os.path.join(here, "tools.txt")) as f:
        for line in f:
            words = line.split()
            if words[:1] == [command]:
                package = words[1]
    die("%s is not installed (apt-get install %s)" % (command, package))


def dig(value, *keys):
    """VALUE[KEY]..., or None where any step is missing or not a dict."""
    for key in keys:
        value = value.get(key) if isinstance(value, dict) else None
    return value


# ---- Names ----
# A name is what a client asks for: one that could pass for another (a
# blank, a control or format character, bytes that are not UTF-8) is
# refused anywhere in the tree, and what the releases write takes plain
# characters alone.

OWNED_DIRS = ("apt", "rpm", "rebuilds")
METADATA = ("FINGERPRINT", "libcwork.gpg", "libcwork.asc", "libcwork-retired.asc", "REBUILDERS", "SHA256SUMS",
            "SHA256SUMS.asc")
PACKAGE_FILE = re.compile(r"\.(deb|udeb|ddeb|rpm|tar|tgz|buildinfo)$|\.tar\.[^/]*$|\.intoto\.json$")
PLAIN = re.compile(r"[A-Za-z0-9._+~-]+")
DEPTH = 16


def shown(name):
    out = []
    for ch in name:
        o = ord(ch)
        if 0xDC80 <= o <= 0xDCFF:
            out.append("\\x%02x" % (o - 0xDC00))
        elif 0x21 <= o < 0x7F and ch not in "\\'":
            out.append(ch)
        else:
            out.append("\\x%02x" % o if o < 0x100 else "\\u%04x" % o if o < 0x10000 else "\\U%08x" % o)
    return "'%s'" % "".join(out)


def name_fault(name):
    if any(0xDC80 <= ord(c) <= 0xDCFF for c in name):
        return "is not valid UTF-8"
    if any(unicodedata.category(c) in ("Zs", "Zl", "Zp", "Cc", "Cf") for c in name):
        return "holds a blank, a control or a format character"
    return None


def owned(name):
    return name.split("/")[0] in OWNED_DIRS or ("/" not in name and (name in METADATA or bool(PACKAGE_FILE.search(name))))


def plain(name):
    """A relative path inside the tree, of plain characters."""
    return all(PLAIN.fullmatch(p) and p not in (".", "..") for p in name.split("/"))


def walk(root):
    """Every entry below ROOT, {name: kind}, links not followed: d, f, l or
    o(ther); no deeper than any release writes."""
    entries, pending = {}, [("", 0)]
    while pending:
        rel, depth = pending.pop()
        try:
            names = os.listdir(os.path.join(root, rel))
        except OSError as e:
            bad(shown(rel), "cannot be read: %s" % e.strerror)
            continue
        for n in names:
            name = os.path.join(rel, n)
            mode = os.lstat(os.path.join(root, name)).st_mode
            entries[name] = "d" if stat.S_ISDIR(mode) else "f" if stat.S_ISREG(mode) else "l" if stat.S_ISLNK(mode) else "o"
            if entries[name] == "d" and depth + 1 >= DEPTH:
                bad(shown(name), "lies %d directories deep, deeper than any release writes" % DEPTH)
            elif entries[name] == "d":
                pending.append((name, depth + 1))
    return entries


def check_names(entries):
    """The owned regular files whose names are sound."""
    found = set()
    for name, kind in sorted(entries.items()):
        fault = name_fault(name)
        if fault:
            bad(shown(name), "a name that %s, which could pass for another: refused" % fault)
        elif owned(name) and not plain(name):
            bad(shown(name), "a name of the tree's own with other characters than letters, digits and ._+~-")
        elif owned(name) and kind not in "df":
            bad(name, "not a plain file, which every file of the tree's own is")
        elif owned(name) and kind == "f":
            found.add(name)
    return found


# ---- The tree, read into a private copy ----
# Over a URL or from a directory alike, each file is read once, into a copy
# of the verifier's own, never past the size the signed list gives it, and
# hashed as it comes; everything is checked, and then used, from the copy.

_digests = {}
HASHES = (("md5sum", "md5"), ("sha1", "sha1"), ("sha256", "sha256"), ("sha512", "sha512"))


def is_url(place):
    return re.match(r"(https?|file):", place) is not None


def url_of(place, name):
    """NAME, a path of the tree at PLACE (a URL or a directory), as a URL."""
    return place + "/" + urllib.parse.quote(name, safe="/+~") if is_url(place) else \
        pathlib.Path(os.path.abspath(place), name).as_uri()


def get(name, size, exact):
    """NAME of the tree into the copy; False where the tree has no such file,
    fetch.Failed where it is not what it should be."""
    hashes = {a: hashlib.new(a) for _, a in HASHES}
    path = os.path.join(top, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    url = url_of(source, name)
    try:
        fetch.fetch(url, path, size, exact, sink=lambda block: [h.update(block) for h in hashes.values()])
    except fetch.Missing:
        return False
    _digests[name] = {a: h.hexdigest() for a, h in hashes.items()}
    _digests[name]["size"] = str(os.path.getsize(path))
    return True


def digest(name, algo="sha256"):
    return _digests[name][algo]


def read(name):
    with open(os.path.join(top, name), "rb") as f:
        return f.read()


def holds(name, where, algo=None, sum=None, size=None):
    """NAME, which WHERE names, is a file of the tree with that hash and
    size; else NAME fails, saying what it is and what WHERE says."""
    if name not in files:
        bad(name, "missing, and %s names it" % where)
    elif sum is not None and digest(name, algo) != sum:
        bad(name, "%s %s, and %s says %s" % (algo, digest(name, algo), where, sum))
    elif size is not None and digest(name, "size") != str(size):
        bad(name, "%s bytes, and %s says %s" % (digest(name, "size"), where, size))
    else:
        return True
    return False


def decompressed(name, data):
    """DATA uncompressed (gzip, xz, bzip2), or as it is if it is text; else
    NAME fails, as a client may read what this cannot."""
    try:
        if data[:2] == b"\x1f\x8b":
            return gzip.decompress(data)
        if data[:6] == b"\xfd7zXZ\x00":
            return lzma.decompress(data)
        if data[:3] == b"BZh":
            return bz2.decompress(data)
        data.decode("utf-8")
        return data
    except (OSError, EOFError, lzma.LZMAError, UnicodeDecodeError) as e:
        bad(name, "cannot be read, neither text nor gzip, xz or bzip2 (%s): a client may read what this cannot" % e)
        return b""


# ---- Keys and signatures ----
# A signature counts by its status, never by gpgv's exit code: a good
# one (GOODSIG, VALIDSIG) by a key that is neither revoked nor expired.

def keys_of(*keyrings):
    """The keys in KEYRINGS: {primary: {"revoked", "parts": {fingerprint: expiry or None}}}."""
    keys, kind, primary = {}, None, None
    out = run("gpg", "--homedir", os.path.join(work, "gnupg"), "--batch", "--with-colons", "--fixed-list-mode",
              "--show-keys", *keyrings).stdout.decode(errors="replace")
    for line in out.splitlines():
        f = line.split(":")
        if f[0] in ("pub", "sub"):
            kind = f
        elif f[0] == "fpr" and kind:
            if kind[0] == "pub":
                primary = f[9]
                keys.setdefault(primary, {"revoked": False, "parts": {}})
            keys[primary]["revoked"] |= kind[1] == "r" and kind[0] == "pub"
            keys[primary]["parts"][f[9]] = "revoked" if kind[1] == "r" else int(kind[6]) if kind[6] else None
            kind = None
    return keys


def gpgv(keyring, *args):
    """What gpgv says of each signature: {"status", "part", "key", "made"}."""
    sigs = []
    for line in run("gpgv", "--status-fd", "1", "--keyring", keyring, *args).stdout.decode(errors="replace").splitlines():
        f = line.split()
        if f[:1] != ["[GNUPG:]"] or len(f) < 2:
            continue
        if f[1] == "NEWSIG":
            sigs.append({"status": None})
        elif f[1] in ("GOODSIG", "EXPSIG", "EXPKEYSIG", "REVKEYSIG", "BADSIG", "ERRSIG") and sigs:
            sigs[-1]["status"] = f[1]
        elif f[1] == "VALIDSIG" and sigs and len(f) >= 12 and f[4].isdigit():
            sigs[-1].update(part=f[2], made=int(f[4]), key=f[-1])
    return sigs


def good_signature(what, sigs, keys, trusted, once=False, claimed=None, none=True):
    """The good signatures of SIGS by keys of TRUSTED; none, WHAT failing
    (saying so unless NONE is false), where there is none. A bad or revoked
    one fails WHAT whoever made it, and so does one by another key than
    CLAIMED, or one dated to come. An expired key's counts where ONCE (a
    file that is never signed anew) and it was made before the key expired."""
    found = []
    for s in sigs:
        key, part = s.get("key"), s.get("part")
        if s["status"] == "BADSIG":
            bad(what, "a bad signature: it does not match what it signs")
            found = None
        elif s["status"] == "REVKEYSIG" or (key in keys and (keys[key]["revoked"] or keys[key]["parts"].get(part) == "revoked")):
            bad(what, "signed by %s, which is revoked" % key)
            found = None
        elif claimed and key and claimed not in (key, part):
            bad(what, "signed by %s, and it says it is signed by %s" % (key, claimed))
            found = None
        elif key not in trusted or s["status"] not in ("GOODSIG", "EXPKEYSIG"):
            continue
        elif s["made"] > time.time() + 300:
            bad(what, "signed on %s, which is yet to come" % when(s["made"]))
            found = None
        elif s["status"] == "EXPKEYSIG":
            ends = min(e for e in (keys[key]["parts"].get(key), keys[key]["parts"].get(part)) if isinstance(e, int))
            if not once or s["made"] >= ends:
                bad(what, "signed by %s, which expired on %s" % (key, when(ends)))
                found = None
            elif found is not None:
                say("%s: signed on %s by %s, before that key expired on %s" % (what, when(s["made"]), key, when(ends)))
                found.append(s)
        elif found is not None:
            found.append(s)
        if found is None:
            break
    if not found and none:
        bad(what, none if isinstance(none, str) else "not a good signature by %s" % " ".join(sorted(trusted)))
    return found or []


def wanted(text, keys):
    """The primary keys that FINGERPRINT names and the tree holds: 40 hex
    digits, or gpg's ten groups of four; several separated by commas (or
    blanks, whole); a subkey stands for its primary."""
    found, absent = [], []
    for item in text.split(","):
        groups = item.split()
        if len(groups) == 10 and all(re.fullmatch("[0-9A-Fa-f]{4}", g) for g in groups):
            groups = ["".join(groups)]
        for fpr in groups:
            fpr = fpr.upper()
            if not re.fullmatch("[0-9A-F]{40}", fpr):
                die("'%s' is not a key's fingerprint (40 hex digits, or ten groups of four as gpg --fingerprint "
                    "prints them)" % fpr)
            primary = [k for k, v in keys.items() if fpr in v["parts"]]
            if not primary:
                absent.append(fpr)
                continue
            if primary[0] != fpr:
                say("the subkey %s stands for its key %s" % (fpr, primary[0]))
            found.append(primary[0])
    if not found:
        die("libcwork.gpg holds no key %s: this tree is not signed by %s" % (
            " nor ".join(absent) or "that FINGERPRINT names", "that key" if len(absent) < 2 else "those keys"))
    if absent:
        say("libcwork.gpg holds no key %s, of those FINGERPRINT names: the others are checked against" % ", ".join(absent))
    return found


# ---- SHA256SUMS ----
# sha256sum's own lines, then "# size N NAME" for each, which sha256sum -c
# passes over as comments: what a client reading the tree stops at.

def sums_of(directory):
    entries = walk(directory)
    names = sorted(n for n, k in entries.items() if k == "f" and owned(n) and n not in ("SHA256SUMS", "SHA256SUMS.asc"))
    for n in names:
        if name_fault(n) or not plain(n):
            die("%s: not a name a release writes" % shown(n))
    sizes = {}
    for n in names:
        h = hashlib.sha256()
        with open(os.path.join(directory, n), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
                sizes[n] = sizes.get(n, 0) + len(block)
        print("%s  %s" % (h.hexdigest(), n))
    for n in names:
        print("# size %d %s" % (sizes.get(n, 0), n))


def read_sums(data):
    listed, sizes = {}, {}
    lines = data.split(b"\n")
    if lines[-1] != b"":
        bad("SHA256SUMS", "does not end in a line feed")
    for n, line in enumerate(lines[:-1], 1):
        hashed = re.fullmatch(rb"([0-9a-f]{64})  (.+)", line)
        sized = re.fullmatch(rb"# size ([0-9]+) (.+)", line)
        if not hashed and not sized:
            bad("SHA256SUMS", "line %d is neither a sha256 and a name nor a size: %s" % (n, shown(os.fsdecode(line))))
            continue
        name = os.fsdecode((hashed or sized).group(2))
        if name_fault(name) or not plain(name) or not owned(name) or name in ("SHA256SUMS", "SHA256SUMS.asc"):
            bad("SHA256SUMS", "names %s, which is not a path of the tree's own" % shown(name))
            continue
        table = listed if hashed else sizes
        if name in table:
            bad("SHA256SUMS", "names %s twice" % name)
        table[name] = (hashed or sized).group(1).decode()
    for name in sorted(listed):
        if name not in sizes:
            bad("SHA256SUMS", "gives no size for %s" % name)
        if any(other.startswith(name + "/") for other in listed):
            bad("SHA256SUMS", "names %s as a file and as a directory" % name)
            del sizes[name]
    return {n: s for n, s in listed.items() if n in sizes}, sizes


FIRST = (("FINGERPRINT", 1 << 16), ("libcwork.gpg", 1 << 20), ("SHA256SUMS", 1 << 24), ("SHA256SUMS.asc", 1 << 16))


def read_tree(owned_files):
    """The keys, SHA256SUMS and its signature, each within a small cap and
    checked before anything else is read; then each file SHA256SUMS lists,
    at the size it gives. The signers of SHA256SUMS."""
    global files
    for name, cap in FIRST:
        try:
            if get(name, cap, False):
                files.add(name)
            elif name in ("FINGERPRINT", "libcwork.gpg"):
                die("%s has no %s: it is not a libcwork repository tree" % (location, name))
            else:
                die("%s has no %s: every release writes SHA256SUMS and SHA256SUMS.asc" % (location, name))
        except fetch.Failed as e:
            die(str(e))
    keyring = os.path.join(top, "libcwork.gpg")
    keys = keys_of(keyring)
    signers = (keyring, keys, wanted(os.environ.get("FINGERPRINT") or read("FINGERPRINT").decode(errors="replace"), keys))
    signed = good_signature("SHA256SUMS.asc", gpgv(keyring, os.path.join(top, "SHA256SUMS.asc"),
                                                   os.path.join(top, "SHA256SUMS")), *signers[1:])
    if not signed:
        die("%s: nothing more of it is read, as its SHA256SUMS is not signed by %s" % (location, " ".join(signers[2])))
    listed, sizes = read_sums(read("SHA256SUMS"))
    for name in ("FINGERPRINT", "libcwork.gpg"):
        if name not in listed:
            bad("SHA256SUMS", "does not name %s, which every release writes" % name)
    for name, sum in sorted(listed.items()):
        try:
            if name in dict(FIRST) or get(name, int(sizes[name]), True):
                files.add(name)
                holds(name, "SHA256SUMS", "sha256", sum, sizes[name]) or files.discard(name)
            else:
                bad(name, "missing, and SHA256SUMS names it (sha256 %s)" % sum)
        except fetch.Failed as e:
            if e.unreachable:
                die(str(e))
            bad(name, str(e))
    for name in sorted(owned_files - set(listed) - {"SHA256SUMS", "SHA256SUMS.asc"}):
        bad(name, "no signed index names it: it is not the tree's, or it was changed")
    return signers, signed


# ---- apt ----

def deb822(name, data):
    """The stanzas of a deb822 file, fields by lowercase name, as apt reads them."""
    stanzas = []
    for block in re.split(r"\n[ \t]*\n", data.decode("utf-8", errors="replace")):
        fields, last = {}, None
        for line in block.split("\n"):
            if line[:1] in (" ", "\t") and last:
                fields[last] += "\n" + line.strip()
            elif ":" in line:
                last, value = line.split(":", 1)
                last = last.strip().lower()
                if last in fields:
                    bad(name, "gives the field %s twice in one entry" % last)
                fields[last] = value.strip()
        if fields:
            stanzas.append(fields)
    return stanzas


INDEX_FIELDS = {"filename", "size", "md5sum", "sha1", "sha256", "sha512"}
_controls = {}


def check_packages(index, dist, entries, named):
    """Every entry of the Packages index INDEX (any compression), each file
    it names by its size and every hash that apt would check, and what it
    says of the file, what the file says of itself."""
    for st in deb822(index, decompressed(index, read(index))):
        filename = st.get("filename", "")
        what = "%s %s" % (st.get("package", "?"), st.get("version", "?"))
        if not filename.startswith("pool/") or name_fault(filename) or not plain(filename):
            bad(index, "names %s for %s, outside apt/pool/" % (shown(filename), what))
            continue
        path = "apt/" + filename
        named.add(path)
        if "sha256" not in st:
            bad(index, "gives %s no SHA256" % filename)
        if not (holds(path, index, size=st.get("size")) and all(holds(path, index, algo, st[field])
                                                                for field, algo in HASHES if field in st)):
            continue
        if path not in _controls:
            control = members.member(os.path.join(top, path), "control:./control")
            _controls[path] = (deb822(path, control) or [{}])[0] if control else None
        said = {k: v for k, v in st.items() if k not in INDEX_FIELDS}
        if said != _controls[path]:
            bad(index, "says of %s what its control file does not: %s" % (filename, ", ".join(sorted(
                k for k in set(said) | set(_controls[path] or {}) if said.get(k) != (_controls[path] or {}).get(k)))))
            continue
        entries.append(("apt", st.get("package", ""), st.get("version", ""), path, index, dist))


def check_dist(dist, signers, entries, pool_named):
    release = dist + "/Release"
    if release not in files:
        bad(release, "missing: every dist has one")
        return
    inrelease = os.path.join(work, "inrelease")
    for sig in ("Release.gpg", "InRelease"):
        name = dist + "/" + sig
        if name not in files:
            bad(name, "missing: every dist is signed both ways")
            continue
        if os.path.exists(inrelease):
            os.remove(inrelease)
        args = (os.path.join(top, name), os.path.join(top, release)) if sig == "Release.gpg" else \
            ("--output", inrelease, os.path.join(top, name))
        if good_signature(name, gpgv(signers[0], *args), *signers[1:]) and sig == "InRelease":
            with open(inrelease, "rb") as f:
                if f.read() != read(release):
                    bad(name, "signs other text than %s" % release)
    stanza = (deb822(release, read(release)) or [{}])[0]
    codename = dist.split("/")[-1]
    if stanza.get("codename") != codename:
        bad(release, "names the dist %s, not %s" % (stanza.get("codename"), codename))
    # A -rebuilt dist's entries are its base's, the keyring's version too.
    codename = codename[:-len(REBUILT)] if codename.endswith(REBUILT) else codename
    named = {"Release", "Release.gpg", "InRelease"}
    for field, algo in HASHES:
        for line in stanza.get(field, "").split("\n"):
            words = line.split()
            if not words:
                continue
            if len(words) != 3:
                bad(release, "holds a line that is not a hash, a size and a name: %s" % shown(line))
                continue
            sum, size, path = words
            if name_fault(path) or not plain(path):
                bad(release, "names %s, which is not a path inside the dist" % shown(path))
                continue
            named.add(path)
            # What apt reads but this cannot (diffs to apply, other
            # compressions) would hand it what nothing checked.
            if not re.fullmatch(r"[^/]+/binary-[^/]+/Packages(\.(gz|xz|bz2))?", path):
                bad(release, "names %s, an index that no release writes and make verify does not read" % path)
            elif holds(dist + "/" + path, release, algo, sum, size):
                check_packages(dist + "/" + path, codename, entries, pool_named)
    if "sha256" not in stanza:
        bad(release, "names no index by sha256")
    # The indices kept by hash, for clients that read an older InRelease:
    # each is what its name says, and is read as apt would read it.
    for name in sorted(f for f in files if f.startswith(dist + "/")):
        path = name[len(dist) + 1:]
        by_hash = re.fullmatch(r"(.*/binary-[^/]+)/by-hash/(MD5Sum|SHA1|SHA256|SHA512)/([0-9a-f]+)", path)
        if by_hash:
            algo = dict(HASHES)[by_hash.group(2).lower()]
            if digest(name, algo) != by_hash.group(3):
                bad(name, "its %s is %s, not the one its name gives" % (algo, digest(name, algo)))
            else:
                check_packages(name, codename, entries, pool_named)
        elif path not in named:
            bad(name, "%s does not name it" % release)


def check_apt(signers, entries):
    pool_named = set()
    for dist in sorted({"/".join(f.split("/")[:3]) for f in files if f.startswith("apt/dists/") and f.count("/") >= 3}):
        check_dist(dist, signers, entries, pool_named)
    for name in sorted(f for f in files if f.startswith("apt/")):
        if name.startswith("apt/pool/") and name not in pool_named:
            bad(name, "no Packages of any dist names it")
        elif not name.startswith("apt/pool/") and not (name.startswith("apt/dists/") and name.count("/") >= 3):
            bad(name, "neither in apt/pool/ nor in a dist")


# ---- rpm ----

XML_BASE = "{http://www.w3.org/XML/1998/namespace}base"
RPM_HASHES = {"sha256": "sha256", "sha512": "sha512", "sha": "sha1", "sha1": "sha1", "md5": "md5"}
# What createrepo_c writes; the others (primary_zck, updateinfo, modules,
# ...) dnf may read, and nothing here checks.
RPM_METADATA = ("primary", "primary_db", "filelists", "filelists_db", "other", "other_db")
DEPENDENCIES = ("provides", "requires", "conflicts", "obsoletes", "recommends", "suggests", "supplements", "enhances")
FLAGS = {"EQ": "=", "LE": "<=", "GE": ">=", "LT": "<", "GT": ">", None: "", "": ""}


def local(tag):
    return tag.rsplit("}", 1)[-1]


def children(element, name):
    return [c for c in element if local(c.tag) == name]


def evr(epoch, ver, rel):
    return "%s%s%s" % (epoch + ":" if epoch not in (None, "", "0") else "", ver or "", "-" + rel if rel else "")


def check_located(repo, where, href, base, algo, sum, size, named, package=False):
    """A file that rpm metadata WHERE names: inside REPO, as its checksum and
    size say; a package of a -rebuilt repository, in its base repository."""
    if base:
        bad(where, "names %s at the base %s (xml:base), outside its own repository" % (shown(href), shown(base)))
        return None
    if package and repo.endswith(REBUILT):
        repo = repo[:-len(REBUILT)]
        inside = "../%s/" % repo.split("/")[-1]
        if not href.startswith(inside) or "/" in href[len(inside):]:
            bad(where, "names %s, and the packages of a %s repository are those of its base, %s" % (
                shown(href), REBUILT, inside))
            return None
        href = href[len(inside):]
    if name_fault(href) or not plain(href):
        bad(where, "names %s, outside %s/" % (shown(href), repo))
        return None
    name = repo + "/" + href
    named.add(name)
    if algo not in RPM_HASHES:
        bad(where, "names %s by a checksum of the kind %s, which is not checked" % (href, algo))
        return None
    return name if holds(name, where, RPM_HASHES[algo], sum, size) else None


def primary_xml(repo, where, data, named, entries):
    """{pkgid: what the entry says of its package} of a primary xml."""
    said = {}
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        bad(where, "not XML: %s" % e)
        return said
    for pkg in (p for p in root.iter() if local(p.tag) == "package"):
        parts = {n: children(pkg, n) for n in ("name", "arch", "version", "checksum", "location", "size", "format")}
        if any(len(v) != 1 for v in parts.values()):
            bad(where, "holds a package entry without one each of name, arch, version, checksum, location, size, format")
            continue
        loc, ck, ver = parts["location"][0], parts["checksum"][0], parts["version"][0]
        name = check_located(repo, where, loc.get("href", ""), loc.get(XML_BASE), ck.get("type"), (ck.text or "").strip(),
                             parts["size"][0].get("package"), named, package=True)
        if not name:
            continue
        deps = {(kind, e.get("name"), FLAGS.get(e.get("flags"), "?"), evr(e.get("epoch"), e.get("ver"), e.get("rel")))
                for f in parts["format"] for d in f for kind in [local(d.tag)] if kind in DEPENDENCIES for e in d}
        deps |= {("file", (f.text or "").strip(), "", "") for f in parts["format"][0] if local(f.tag) == "file"}
        said[name] = ((parts["name"][0].text, parts["arch"][0].text, ver.get("epoch") or "0", ver.get("ver"), ver.get("rel")), deps)
        entries.append(("rpm", parts["name"][0].text, "%s-%s" % (ver.get("ver"), ver.get("rel")), name, where,
                        ver.get("epoch") or "0"))
    return said


def primary_db(repo, where, data, named, entries):
    """The same of a primary sqlite database: only tables, as createrepo_c writes it."""
    said = {}
    with tempfile.NamedTemporaryFile(dir=work) as db:
        db.write(data)
        db.flush()
        try:
            with sqlite3.connect("file:%s?mode=ro" % db.name, uri=True) as c:
                if c.execute("SELECT count(*) FROM sqlite_master WHERE type = 'view'").fetchone()[0]:
                    bad(where, "holds views, which no release writes: what it says would depend on the reader")
                    return said
                rows = c.execute("SELECT pkgKey, name, arch, epoch, version, release, location_href, location_base, "
                                 "checksum_type, pkgId, size_package FROM packages").fetchall()
                deps = {k: c.execute("SELECT pkgKey, name, flags, epoch, version, release FROM " + k).fetchall()
                        for k in DEPENDENCIES[:4]}
                paths = c.execute("SELECT pkgKey, name FROM files").fetchall()
        except sqlite3.Error as e:
            bad(where, "not a primary database that can be read: %s" % e)
            return said
    for key, pkg, arch, epoch, ver, rel, href, base, algo, sum, size in rows:
        name = check_located(repo, where, href or "", base, algo, sum, size, named, package=True)
        if name:
            found = {(k, n, FLAGS.get(f, "?"), evr(e, v, r)) for k, rs in deps.items() for p, n, f, e, v, r in rs if p == key}
            found |= {("file", n, "", "") for p, n in paths if p == key}
            said[name] = ((pkg, arch, epoch or "0", ver, rel), found)
            entries.append(("rpm", pkg, "%s-%s" % (ver, rel), name, where, epoch or "0"))
    return said


HEADER = ("%{NAME}|%{ARCH}|%{EPOCHNUM}|%{VERSION}|%{RELEASE}\\n" + "".join(
    "[%s|%%{%sNAME}|%%{%sFLAGS:depflags}|%%{%sVERSION}\\n]" % (k, k.upper()[:-1], k.upper()[:-1], k.upper()[:-1])
    for k in DEPENDENCIES) + "[file|%{FILENAMES}||\\n]--\\n")


def headers(rpms):
    """{name: (what its header says of the package, its dependencies and files)},
    each package asked alone, once for all the names of its bytes."""
    found, by_bytes = {}, {}
    for name in rpms:
        if digest(name) not in by_bytes:
            lines = run("rpm", "-qp", "--qf", HEADER, os.path.join(top, name)).stdout.decode(errors="replace").splitlines()
            fields = [line.split("|") for line in lines[1:-1]]
            by_bytes[digest(name)] = None if not lines or len(lines[0].split("|")) != 5 or lines[-1] != "--" or \
                any(len(f) != 4 for f in fields) else (tuple(lines[0].split("|")), {
                    (k, n, f, v[2:] if v.startswith("0:") else v) for k, n, f, v in fields if not n.startswith("rpmlib(")})
        if by_bytes[digest(name)]:
            found[name] = by_bytes[digest(name)]
    return found


def check_rpm_repo(repo, signers, entries, said):
    repomd, asc = repo + "/repodata/repomd.xml", repo + "/repodata/repomd.xml.asc"
    named = {repomd, asc}
    if repomd not in files or asc not in files:
        bad(repomd, "missing, or its signature repomd.xml.asc is: every rpm repository has both")
        return named
    if not good_signature(asc, gpgv(signers[0], os.path.join(top, asc), os.path.join(top, repomd)), *signers[1:]):
        return named
    try:
        root = ET.fromstring(read(repomd))
    except ET.ParseError as e:
        bad(repomd, "not XML: %s" % e)
        return named
    primaries = []
    for data in (d for d in root.iter() if local(d.tag) == "data"):
        loc, ck, size, opened = (children(data, n) for n in ("location", "checksum", "size", "open-checksum"))
        kind = data.get("type")
        if len(loc) != 1 or len(ck) != 1 or len(size) > 1 or len(opened) > 1:
            bad(repomd, "names metadata without one location and one checksum")
            continue
        if kind not in RPM_METADATA:
            bad(repomd, "names metadata of the kind %s, which no release writes and make verify does not read" % kind)
        name = check_located(repo, repomd, loc[0].get("href", ""), loc[0].get(XML_BASE), ck[0].get("type"),
                             (ck[0].text or "").strip(), (size[0].text or "").strip() if size else None, named)
        if not name or kind not in ("primary", "primary_db"):
            continue
        content = decompressed(name, read(name))
        if opened and hashlib.new(RPM_HASHES.get(opened[0].get("type"), "sha256"), content).hexdigest() != \
                (opened[0].text or "").strip():
            bad(name, "uncompressed, it is not what %s says" % repomd)
            continue
        primaries.append((name, (primary_xml if kind == "primary" else primary_db)(repo, name, content, named, entries)))
    if not any(local(d.tag) == "data" and d.get("type") == "primary" for d in root.iter()):
        bad(repomd, "names no primary metadata")
    for (a, one), (b, other) in zip(primaries, primaries[1:]):
        if one != other:
            bad(b, "says otherwise of the packages than %s" % a)
    for name, info in primaries:
        said.update({(n, name): i for n, i in info.items()})
    return named


def check_rpm(signers, entries):
    repos = sorted({"/".join(f.split("/")[:2]) for f in files if f.startswith("rpm/") and f.count("/") >= 2})
    if not repos:
        return
    needs("rpmkeys")
    rpmdb = os.path.join(work, "rpmdb")
    for key in ("libcwork.asc", "libcwork-retired.asc"):
        if key in files and run("rpmkeys", "--dbpath", rpmdb, "--import", os.path.join(top, key)).returncode:
            bad(key, "holds no key that rpmkeys can import")
    named, said = set(), {}
    for repo in repos:
        named |= check_rpm_repo(repo, signers, entries, said)
    for name in sorted(f for f in files if f.startswith("rpm/") and f not in named):
        bad(name, "neither a repository's repomd.xml nor its primary metadata names it")
    rpms = sorted({e[3] for e in entries if e[0] == "rpm"})
    if not rpms:
        return
    # What the metadata says of each package, what its header says of it:
    # the same package, and nothing it does not require, provide or hold.
    real = headers(rpms)
    for (name, where), (package, deps) in sorted(said.items()):
        if name not in real:
            bad(name, "is not an rpm package that rpm can read")
        elif package != real[name][0]:
            bad(where, "says %s is %s, and it is %s" % (name, "-".join(package), "-".join(real[name][0])))
        elif not deps <= real[name][1]:
            bad(where, "says of %s what its header does not: %s" % (name, ", ".join(sorted(" ".join(d).strip()
                                                                                          for d in deps - real[name][1]))))
    # An .rpm carries one signature, by a key of the tree's when it was
    # released: the keys the tree names now or has retired.
    out = run("rpmkeys", "--dbpath", rpmdb, "-K", *[os.path.join(top, r) for r in rpms]).stdout.decode(errors="replace")
    ok = {line[:-len(": digests signatures OK")] for line in out.splitlines() if line.endswith(": digests signatures OK")}
    for r in rpms:
        if os.path.join(top, r) not in ok:
            bad(r, "not signed by a key of the tree's: %s" % next(
                (line.rpartition(": ")[2] for line in out.splitlines() if line.startswith(os.path.join(top, r) + ":")),
                "rpmkeys cannot read it"))


# ---- Provenance: every version, and every file a client can be handed ----

def released_keys():
    """The keys of the tree's when each version was released, as one binary keyring."""
    keyring = os.path.join(work, "released.gpg")
    with open(keyring, "wb") as out:
        for key in ("libcwork.asc", "libcwork-retired.asc"):
            if key in files:
                out.write(run("gpg", "--dearmor", data=read(key)).stdout)
    return keyring


def signed_statement(name, want, keyring, keys, trusted, claim=None, none="no good signature"):
    """The statement of the envelope NAME, if a signature of it is good."""
    try:
        st, covered, sigs = dsse.parts(os.path.join(top, name), want)
    except ValueError as e:
        bad(name, "not a DSSE envelope of an in-toto statement: %s" % e)
        return None
    with open(os.path.join(work, "pae"), "wb") as f:
        f.write(covered)
    good = False
    for n, (keyid, sig) in enumerate(sigs):
        path = os.path.join(work, "sig.%d" % n)
        with open(path, "wb") as f:
            f.write(sig)
        claimed = (claim or str(keyid)).upper() or None
        good = good_signature(name, gpgv(keyring, path, os.path.join(work, "pae")), keys, trusted, once=True,
                              claimed=claimed, none=False) or good
    if not good:
        bad(name, none)
        return None
    return st


def subjects_of(name, st):
    found = {}
    for s in st.get("subject") or []:
        subject, sum = dig(s, "name"), dig(s, "digest", "sha256")
        if not isinstance(subject, str) or name_fault(subject) or not plain(subject) or not owned(subject):
            bad(name, "names %s, which is not a file of the tree's own" % shown(str(subject)))
            continue
        if subject not in files or digest(subject) != sum:
            bad(name, "names %s with sha256 %s, and the tree's is %s" % (subject, sum,
                                                                        digest(subject) if subject in files else "none"))
        found[subject] = sum
    return found


def check_record(v, name, st, subjects):
    """The build record and source archive of version V, as its provenance NAME says."""
    record, source = RECORD_NAME % v, SOURCE_NAME % v
    for what, file in (("build record", record), ("source archive", source)):
        if file not in subjects:
            bad("version %s" % v, "has no %s %s that its provenance names" % (what, file))
    if record not in files or subjects.get(record) != digest(record):
        return
    fields = dsse.record_fields(os.path.join(top, record))
    one = {k: (fields.get(k) or [""])[0] for k in ("Version", "Source-Archive", "Commit", "Build-Root")}
    if one["Version"] != v:
        bad(record, "is the build record of version %s" % (one["Version"] or "(none)"))
    if source in files and one["Source-Archive"].split()[:1] != [digest(source)]:
        bad(record, "names the source archive by sha256 %s, and %s is %s" % (one["Source-Archive"], source, digest(source)))
    in_root = bool(re.fullmatch("[0-9a-f]{64}", one["Build-Root"]))
    deps = dig(st, "predicate", "buildDefinition", "resolvedDependencies")
    said = {"source archive": (dig(st, "predicate", "buildDefinition", "externalParameters", "source", "digest", "sha256"),
                               one["Source-Archive"].split()[:1] and one["Source-Archive"].split()[0]),
            "commit": (dig(st, "predicate", "buildDefinition", "externalParameters", "commit"), one["Commit"]),
            "build root": (dig(deps[0], "digest", "sha256") if isinstance(deps, list) and deps and in_root else None,
                           one["Build-Root"] if in_root else None)}
    for what, (stated, recorded) in said.items():
        if stated != recorded:
            bad(name, "names the %s %s, and the build record %s" % (what, stated, recorded))
    if not in_root:
        say("version %s: its build record says Build-Root: %s, and nothing can rebuild it" % (v, one["Build-Root"] or "(none)"))


def check_provenance():
    """{version: {subject: sha256}} of every version's provenance that holds."""
    keyring = released_keys()
    keys = keys_of(keyring)
    versions = {}
    for name in sorted(f for f in files if "/" not in f and f.endswith(".intoto.json")):
        v = re.fullmatch(r"libcwork-(.+)\.intoto\.json", name)
        if not v:
            bad(name, "not the provenance of a version (libcwork-VERSION.intoto.json)")
            continue
        st = signed_statement(name, dsse.PROVENANCE, keyring, keys, set(keys),
                              none="no good signature by a key of the tree's over its statement")
        if st is None:
            continue
        v = v.group(1)
        if dig(st, "predicate", "buildDefinition", "externalParameters", "version") != v:
            bad(name, "is the provenance of version %s" % dig(st, "predicate", "buildDefinition", "externalParameters", "version"))
        subjects = subjects_of(name, st)
        check_record(v, name, st, subjects)
        versions[v] = subjects
    return versions


def version_of(entry, provenance):
    """The release version that an index entry is of, in the forms a release
    writes: VERSION itself, VERSION+CODENAME of the keyring in its dist, and
    for an rpm, epoch 0 and VERSION with the floor's tag (.glibcN)."""
    kind, pkg, version, _, _, extra = entry
    if kind == "apt" and pkg == KEYRING:
        version = version[:-len("+" + extra)] if version.endswith("+" + extra) else None
    elif kind == "rpm" and extra == "0" and version not in provenance:
        version = re.sub(r"\.glibc[0-9.]+$", "", version)
    elif kind == "rpm" and extra != "0":
        version = None
    return version if version in provenance else None


def check_coverage(entries, provenance):
    """Every file an index hands a client, and every file at the top, is a
    subject of its version's provenance; an unversioned alias has the bytes
    of the newest version's file it stands for. {version: [(sha256, name,
    made as)]} for the rebuild, and the versions the indices name."""
    of = {v: [(s, n, n.split("/")[-1]) for n, s in subjects.items()] for v, subjects in provenance.items()}
    indexed, seen = set(), set()
    for entry in entries:
        kind, pkg, version, name, index, _ = entry
        if entry[:4] in seen:
            continue
        seen.add(entry[:4])
        v = version_of(entry, provenance)
        if v is None:
            bad(name, "%s names it as %s %s, which is not a version with its provenance, build record and source archive,"
                      " in the form a release writes" % (index, pkg, version))
        elif provenance[v].get(name) != digest(name):
            bad(name, "%s names it as %s %s, and the provenance of %s does not" % (index, pkg, version, v))
        else:
            indexed.add(v)
    covered = {n for subjects in provenance.values() for n in subjects}
    for name in sorted(f for f in files if "/" not in f and f not in METADATA and not f.endswith(".intoto.json")):
        alias = KEYRING_ALIAS.fullmatch(name)
        if name in covered:
            continue
        if alias or name == RELEASE_ALIAS:
            pattern = KEYRING_FILE if alias else RELEASE_FILE
            candidates = [(v, n) for v, subjects in provenance.items() for n in subjects if "/" not in n and
                          pattern.fullmatch(n) and (not alias or pattern.fullmatch(n).group(2) == alias.group(1))]
            v, n = max(candidates, key=lambda c: sort_key(c[0]), default=(None, None))
            if n is None:
                bad(name, "stands for the newest version's file, and no version's provenance names such a file")
            elif digest(name) != provenance[v][n]:
                bad(name, "is not %s, the newest version's file it stands for" % n)
            else:
                of[v].append((digest(name), name, n))
        else:
            bad(name, "no version's provenance names it")
    return of, indexed


def check_keys(newest, provenance):
    """The keys the tree names, hands out and signs with are the same keys,
    and its newest version's keyring and release packages bring them."""
    listed = sorted(set(read("FINGERPRINT").decode(errors="replace").split()))
    held = {k: sorted(keys_of(os.path.join(top, k))) for k in ("libcwork.gpg", "libcwork.asc") if k in files}
    for k, found in held.items():
        if found != listed:
            bad(k, "holds the keys %s, and FINGERPRINT names %s" % (" ".join(found) or "none", " ".join(listed)))
    for name in sorted(provenance.get(newest, {})):
        inside, want = (KEYRING_GPG, "libcwork.gpg") if KEYRING_FILE.fullmatch(name.split("/")[-1]) else \
            (RELEASE_ASC, "libcwork.asc") if RELEASE_FILE.fullmatch(name.split("/")[-1]) else (None, None)
        if inside and want in files and members.member(os.path.join(top, name), inside) != read(want):
            bad(name, "brings other keys than %s" % want)


# ---- Rebuilds: who built each version again, and what they found ----

REBUILT, POLICY = "-rebuilt", "REBUILDERS"
ATTESTATION = re.compile(r"rebuilds/libcwork-(.+)\.rebuilt-by-([0-9A-F]{40})\.intoto\.json")


def check_rebuilds():
    """Each attestation under rebuilds/ is good by the key beside it; a FAILED
    one is news, and counts against its version wherever rebuilders count."""
    for name in sorted(f for f in files if f.startswith("rebuilds/")):
        m = ATTESTATION.fullmatch(name)
        if not m:
            if not re.fullmatch(r"rebuilds/[0-9A-F]{40}\.asc", name):
                bad(name, "neither a rebuild's attestation nor a rebuilder's key")
            continue
        fpr = m.group(2)
        key = "rebuilds/%s.asc" % fpr
        if key not in files:
            bad(name, "its key %s is missing" % key)
            continue
        keyring = keyring_of(read(key), "rebuilder.gpg")
        st = signed_statement(name, dsse.SUMMARY, keyring, keys_of(keyring), {fpr}, claim=fpr,
                              none="not a good signature by the key %s" % key)
        if st is None:
            continue
        subjects = subjects_of(name, st)
        result = dig(st, "predicate", "verificationResult")
        if result == "FAILED":
            say("rebuilt by %s, who found other bytes: libcwork-%s (%s)" % (fpr, m.group(1), name))
        elif result == "PASSED":
            say("rebuilt and matched by %s: %d files of libcwork-%s" % (fpr, len(subjects), m.group(1)))
        else:
            bad(name, "says neither PASSED nor FAILED: %s" % shown(str(result)))


def keyring_of(data, name):
    """Keys, armored or not, as a keyring gpgv reads."""
    if data.lstrip()[:10] == b"-----BEGIN":
        data = run("gpg", "--dearmor", data=data).stdout
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def aside(fn, *args):
    """FN's result, and the faults it found, kept apart from the tree's: of an
    attestation judged against keys from outside the tree, they are news."""
    global failures
    kept, failures = failures, []
    try:
        return fn(*args), failures
    finally:
        failures = kept


def policy():
    """The rebuilders the tree vouches for (REBUILDERS), and how many must
    match a version: (K, keyring, fingerprints), or None."""
    if POLICY not in files:
        return None
    fields = {}
    for line in read(POLICY).decode(errors="replace").splitlines():
        name, _, value = line.partition(":")
        fields[name.strip()] = value.split()
    k, fprs = fields.get("Threshold", []), fields.get("Rebuilders", [])
    if len(k) != 1 or not k[0].isdigit() or not fprs or len(set(fprs)) != len(fprs) or \
            not all(re.fullmatch("[0-9A-F]{40}", f) for f in fprs):
        bad(POLICY, "is not a threshold (Threshold: K) and the rebuilders' fingerprints (Rebuilders: FPR...)")
        return None
    missing = [f for f in fprs if "rebuilds/%s.asc" % f not in files]
    if missing:
        bad(POLICY, "names %s, and the tree has not their keys under rebuilds/" % " ".join(missing))
        return None
    keyring = keyring_of(b"".join(run("gpg", "--dearmor", data=read("rebuilds/%s.asc" % f)).stdout for f in fprs),
                         "policy.gpg")
    if sorted(keys_of(keyring)) != sorted(fprs):
        bad(POLICY, "names %s, and their keys under rebuilds/ are %s" % (" ".join(fprs), " ".join(sorted(keys_of(keyring)))))
        return None
    if not counted_apart(POLICY, int(k[0]), fprs):
        return None
    return int(k[0]), keyring, fprs


def counted_apart(what, k, fprs, fault=None):
    """At least one and at most every rebuilder must match, and no rebuilder
    is a key of the tree's: one who signs the release vouches for nothing more."""
    fault = fault or (lambda message: bad(what, message))
    own = sorted(set(fprs) & set(keys_of(released_keys())))
    if own:
        fault("names %s, a release key of the tree's: a rebuilder must be another" % " ".join(own))
    elif not 1 <= k <= len(fprs):
        fault("asks %d of %d rebuilders to match: at least 1, and no more than it names" % (k, len(fprs)))
    else:
        return True
    return False


def fetched_attestations(provenance, fprs):
    """{name: path} of what ATTESTATIONS (a directory or URL, a rebuilder's
    own) holds for each version and rebuilder, each within a small cap."""
    base, found = (os.environ.get("ATTESTATIONS") or "").rstrip("/"), {}
    if not base:
        return found
    os.makedirs(os.path.join(work, "attestations"), exist_ok=True)
    for v in sorted(provenance):
        for fpr in sorted(set(fprs)):
            name = ATTESTATION_NAME % (v, fpr)
            url = url_of(base, name)
            path = os.path.join(work, "attestations", name)
            try:
                fetch.fetch(url, path, 1 << 20, False)
                found["rebuilds/" + name] = path
            except fetch.Missing:
                continue
            except fetch.Failed as e:
                say("ATTESTATIONS: %s: %s" % (name, e))
    return found


def judged(provenance, keyring, fprs, outside):
    """{(version, fingerprint): (matched, failed or missing, why)}: matched
    where a PASSED attestation signed by that key covers every file of the
    version as its provenance names them, failed where one says FAILED."""
    keys, found = keys_of(keyring), {}
    for v, wanted in provenance.items():
        for fpr in fprs:
            state, why = "missing", []
            name = "rebuilds/" + ATTESTATION_NAME % (v, fpr)
            for path in [p for p in (name if name in files else None, outside.get(name)) if p]:
                st, faults = aside(signed_statement, path, dsse.SUMMARY, keyring, keys, {fpr}, fpr,
                                   "not a good signature by %s" % fpr)
                got, more = aside(subjects_of, path, st) if st else ({}, [])
                result = dig(st, "predicate", "verificationResult") if st else None
                omitted = sorted(n for n, sum in wanted.items() if got.get(n) != sum)
                if result == "FAILED":
                    state = "failed"
                elif result == "PASSED" and (omitted or more):
                    why.append("its subjects omit %s" % ", ".join(omitted[:3]) if omitted else more[0])
                elif result == "PASSED":
                    state = "matched" if state == "missing" else state
                else:
                    why.append(faults[0] if faults else "says neither PASSED nor FAILED")
            found[(v, fpr)] = (state, why)
    return found


def rebuilt_table(title, k, fprs, results, versions):
    """The table of who matched what; the versions that K of them matched."""
    say("%s, %d of %d to match:" % (title, k, len(fprs)))
    say("  %-16s %s" % ("version", " ".join("%-16s" % f[-16:] for f in fprs)))
    passed = set()
    for v in sorted(versions, key=sort_key):
        states = [results[(v, f)][0] for f in fprs]
        n = states.count("matched")
        say("  %-16s %s %d of %d%s" % (v, " ".join("%-16s" % s for s in states), n, len(fprs),
                                       ": rebuilt" if n >= k else ""))
        if n >= k:
            passed.add(v)
        for f in fprs:
            for why in results[(v, f)][1]:
                say("  %s by %s does not count: %s" % (v, f, why))
    return passed


def check_rebuilt(entries, provenance, newest):
    """Every version that a -rebuilt dist or repository names is matched by
    as many of the rebuilders the tree vouches for as it asks, and is in its
    base as well; with REBUILDERS=FILE, the newest version is matched by as
    many of those as THRESHOLD asks. The versions the tree's policy passes."""
    vouched, users = policy(), None
    if os.environ.get("REBUILDERS"):
        try:
            with open(os.environ["REBUILDERS"], "rb") as f:
                keyring = keyring_of(f.read(), "rebuilders.gpg")
        except OSError as e:
            die("REBUILDERS=%s: %s" % (os.environ["REBUILDERS"], e.strerror))
        fprs = sorted(keys_of(keyring))
        k = os.environ.get("THRESHOLD") or str(len(fprs))
        if not fprs or not k.isdigit():
            die("REBUILDERS=%s holds no keys, or THRESHOLD=%s is not a number" % (os.environ["REBUILDERS"], k))
        counted_apart("REBUILDERS", int(k), fprs, lambda message: die("REBUILDERS=%s %s" % (os.environ["REBUILDERS"], message)))
        users = (int(k), keyring, fprs)
    outside = fetched_attestations(provenance, (vouched or (0, 0, []))[2] + (users or (0, 0, []))[2])
    promoted = set()
    if vouched:
        promoted = rebuilt_table("rebuilt, by the rebuilders the tree vouches for (REBUILDERS)", vouched[0], vouched[2],
                                 judged(provenance, vouched[1], vouched[2], outside), provenance)
    if users:
        passed = rebuilt_table("rebuilt, by the rebuilders you trust (REBUILDERS=%s)" % os.environ["REBUILDERS"],
                               users[0], users[2], judged(provenance, users[1], users[2], outside), provenance)
        if newest and newest not in passed:
            bad("version %s" % newest, "the newest, is matched by fewer than %d of the rebuilders you trust" % users[0])
    base = {(collection(e[4]), e[1], e[2], e[3]) for e in entries}
    for kind, pkg, version, name, index, extra in entries:
        where = collection(index)
        if not where.endswith(REBUILT):
            continue
        v = version_of((kind, pkg, version, name, index, extra), provenance)
        if (where[:-len(REBUILT)], pkg, version, name) not in base:
            bad(index, "names %s %s, which its base %s does not" % (pkg, version, where[:-len(REBUILT)]))
        elif v not in promoted:
            bad(index, "names %s %s, and version %s is not matched by as many of the rebuilders that REBUILDERS "
                       "names as it asks%s" % (pkg, version, v, "" if vouched else " (the tree has no REBUILDERS)"))
    return promoted


def collection(index):
    """The dist (apt/dists/NAME) or repository (rpm/NAME) of an index's path."""
    return "/".join(index.split("/")[:3 if index.startswith("apt/") else 2])


# ---- What no signature covers ----

def report_unowned(entries):
    unowned = sorted(n for n, k in entries.items() if k != "d" and not owned(n) and not name_fault(n))
    if unowned:
        say("nothing vouches for %s: no signature covers them, and no client should trust them" % ", ".join(unowned))
    for name in unowned:
        if name.split("/")[-1] in (".htaccess", "web.config"):
            say("warning: %s configures the web server, and can redirect clients past every signature "
                "(Redirect, RewriteRule): check it by hand" % name)


# ---- No silent rollback ----

def state_dir():
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "libcwork", "verify")


def check_age(signed, signers, trusted, record):
    """The tree is not older than the newest accepted from LOCATION here,
    signed by any of the trusted keys; with RECORD, it is remembered as the
    newest of each key that signed it."""
    d = state_dir()
    try:
        os.makedirs(d, exist_ok=True)
        lock = open(os.path.join(d, ".lock"), "a")
    except OSError as e:
        say("cannot remember this tree, nor compare it with those accepted before: %s" % e)
        return
    with lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        known = {}
        for key in sorted(set(trusted) | set(signers)):
            path = os.path.join(d, hashlib.sha256(("%s %s" % (key, location)).encode()).hexdigest()[:32])
            try:
                with open(path) as f:
                    known[key] = (int(f.readline().split()[1]), path)
            except (OSError, IndexError, ValueError):
                known[key] = (None, path)
        newest = max((t for t, _ in known.values() if t is not None), default=None)
        if newest is None:
            say("nothing earlier from %s at %s is known here: this is the first tree accepted from them (%s)"
                % (" ".join(signers), location, d))
        elif signed < newest:
            if os.environ.get("ACCEPT_OLDER") != "yes":
                bad("SHA256SUMS.asc", "signed on %s, and the tree accepted from %s at %s before was signed on %s: an "
                    "older tree served again (a rollback) is refused; ACCEPT_OLDER=yes takes it all the same"
                    % (when(signed), " ".join(sorted(trusted)), location, when(newest)))
                return
            say("older than the tree accepted before (signed on %s), and taken as ACCEPT_OLDER=yes asks" % when(newest))
        if record:
            for key in signers:
                t, path = known[key]
                if t is None or signed > t:
                    with open(path + ".tmp", "w") as f:
                        f.write("signed %d\nkey %s\nlocation %s\n" % (signed, key, location))
                    os.replace(path + ".tmp", path)


# ---- The whole ----

def dpkg_cmp(a, b):
    return -1 if run("dpkg", "--compare-versions", a, "lt", b).returncode == 0 else 0 if a == b else 1


# A version, for max() and sorted() as dpkg orders versions.
sort_key = functools.cmp_to_key(dpkg_cmp)


def verify(args):
    entries = walk(source) if not is_url(source) else {}
    signers, signed = read_tree(check_names(entries))
    indexed_files = []
    check_apt(signers, indexed_files)
    check_rpm(signers, indexed_files)
    provenance = check_provenance()
    of, indexed = check_coverage(indexed_files, provenance)
    newest = max(indexed, key=sort_key, default=None)
    check_keys(newest, provenance)
    check_rebuilds()
    promoted = check_rebuilt(indexed_files, provenance, newest)
    report_unowned(entries)
    if not failures:
        check_age(signed[0]["made"], sorted({s["key"] for s in signed}), signers[2], not args.no_record)
    if args.summary:
        with open(args.summary, "w") as f:
            f.write("newest %s\n" % (newest or "none"))
            for v in sorted(promoted):
                f.write("promoted %s\n" % v)
            for v in sorted(of):
                f.write("version %s %s\n" % (v, "indexed" if v in indexed else "unindexed"))
                for sum, name, made_as in sorted(of[v], key=lambda e: e[1]):
                    f.write("file %s %s %s %s\n" % (v, sum, name, made_as))
    for line in news:
        print("verify: %s" % line)
    if failures:
        die("%s does not hold: %d failures" % (location, len(failures)))
    packages = {}
    for entry in indexed_files:
        packages.setdefault(entry[1], set()).add(version_of(entry, provenance))
    print("verify: newest versions: %s" % (", ".join("%s %s" % (p, max(v, key=sort_key))
                                                     for p, v in sorted(packages.items())) or "none"))
    print("verify: %s holds: %d files, signed by %s on %s" % (
        location, len(files), " ".join(sorted({s["key"] for s in signed})), when(signed[0]["made"])))


def main(argv):
    global top, work, location, source
    p = argparse.ArgumentParser(prog="verify.py", add_help=False)
    p.add_argument("--copy")
    p.add_argument("--summary")
    p.add_argument("--no-record", action="store_true")
    p.add_argument("--sums", action="store_true")
    p.add_argument("tree", nargs="?")
    try:
        args = p.parse_args(argv)
    except SystemExit:
        args = None
    if not args or not args.tree:
        die("usage: verify.py [--copy DIR] [--summary FILE] [--no-record] DIR|URL, or verify.py --sums DIR")
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    if args.sums:
        sums_of(args.tree)
        return
    for tool in ("gpg", "gpgv"):
        needs(tool)
    if is_url(args.tree):
        source = location = args.tree.rstrip("/")
    elif os.path.isdir(args.tree):
        # The place as the user names it: a link swapped to an older tree is
        # the same place.
        source, location = os.path.realpath(args.tree), os.path.abspath(args.tree)
    else:
        die("%s is not a directory, nor an http:, https: or file: URL" % args.tree)
    work = tempfile.mkdtemp()
    os.mkdir(os.path.join(work, "gnupg"), 0o700)
    top = args.copy or os.path.join(work, "copy")
    os.makedirs(top, exist_ok=True)
    try:
        verify(args)
    except (OSError, ValueError, KeyError, TypeError, AttributeError, IndexError, RecursionError) as e:
        die("cannot check %s: %s: %s (a tree made to break make verify, or a fault of it)" % (location, type(e).__name__, e))
    finally:
        run("gpgconf", "--homedir", os.path.join(work, "gnupg"), "--kill", "all")
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
