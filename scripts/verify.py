#!/usr/bin/python3
"""verify.py [--copy DIR] [--summary FILE] [--no-record] DIR|URL
verify.py --sums DIR

Checks a published repository tree (docs/releasing.md); --sums writes the
SHA256SUMS of the tree DIR on stdout. Environment: FINGERPRINT, ACCEPT_OLDER,
XDG_STATE_HOME.
"""
import bz2
import fcntl
import gzip
import hashlib
import json
import lzma
import os
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

here = os.path.dirname(os.path.abspath(__file__))
failures, news = [], []
location = ""


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


# ---- Names ----
# A name is what a client asks for: one that could pass for another (a
# blank, a control or format character, bytes that are not UTF-8) is
# refused anywhere in the tree, and what the releases write takes plain
# characters alone.

OWNED_DIRS = ("apt", "rpm", "rebuilds")
METADATA = ("FINGERPRINT", "libcwork.gpg", "libcwork.asc", "libcwork-retired.asc", "SHA256SUMS", "SHA256SUMS.asc")
PACKAGE_FILE = re.compile(r"\.(deb|udeb|ddeb|rpm|tar|tgz|buildinfo)$|\.tar\.[^/]*$|\.intoto\.json$")
PLAIN = re.compile(r"[A-Za-z0-9._+~-]+")


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
    parts = name.split("/")
    return all(PLAIN.fullmatch(p) and p not in (".", "..") for p in parts)


def walk(root):
    """Every entry below ROOT, {name: kind}, links not followed: d, f, l or o(ther)."""
    entries = {}
    for base, dirs, names in os.walk(root):
        for n in dirs + names:
            path = os.path.join(base, n)
            mode = os.lstat(path).st_mode
            entries[os.path.relpath(path, root)] = ("d" if stat.S_ISDIR(mode) else "f" if stat.S_ISREG(mode)
                                                    else "l" if stat.S_ISLNK(mode) else "o")
    return entries


def check_names(entries):
    """The owned regular files whose names are sound: those the checks may read."""
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


# ---- Files and their hashes ----

top = ""
files = set()
_digests = {}
HASHES = (("md5sum", "md5"), ("sha1", "sha1"), ("sha256", "sha256"), ("sha512", "sha512"))


def digest(name, algo="sha256"):
    if name not in _digests:
        hashes = {a: hashlib.new(a) for a in ("md5", "sha1", "sha256", "sha512")}
        size = 0
        with open(os.path.join(top, name), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                size += len(block)
                for h in hashes.values():
                    h.update(block)
        _digests[name] = {a: h.hexdigest() for a, h in hashes.items()}
        _digests[name]["size"] = str(size)
    return _digests[name][algo]


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


def read(name):
    with open(os.path.join(top, name), "rb") as f:
        return f.read()


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

work = ""


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
        elif f[1] == "VALIDSIG" and sigs and len(f) >= 12:
            sigs[-1].update(part=f[2], made=int(f[4]), key=f[-1])
    return sigs


def good_signature(what, sigs, keys, trusted, once=False, claimed=None, none=True):
    """The good signatures of SIGS by keys of TRUSTED; none, WHAT failing
    (saying so unless NONE is false), where there is none. A bad or revoked
    one fails WHAT whoever made it, and so does one by another key than
    CLAIMED. An expired key's counts where ONCE (a file that is never signed
    anew) and it was made before the key expired."""
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
        elif s["made"] > time.time() + 86400:
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
# passes over as comments: what a client fetching the tree stops at.

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
        if name_fault(name) or not plain(name) or not owned(name):
            bad("SHA256SUMS", "names %s, which is not a path of the tree's own" % shown(name))
            continue
        table = listed if hashed else sizes
        if name in table:
            bad("SHA256SUMS", "names %s twice" % name)
        table[name] = (hashed or sized).group(1).decode()
    for name in listed:
        if name not in sizes:
            bad("SHA256SUMS", "gives no size for %s" % name)
    return listed, sizes


def check_sums(listed, sizes):
    for name, sum in sorted(listed.items()):
        holds(name, "SHA256SUMS", "sha256", sum, sizes.get(name))
    for name in sorted(files - set(listed) - {"SHA256SUMS", "SHA256SUMS.asc"}):
        bad(name, "no signed index names it: it is not the tree's, or it was changed")


# ---- Over a URL: the signature first, then each file at its size ----

FIRST = (("FINGERPRINT", 1 << 16), ("libcwork.gpg", 1 << 20), ("SHA256SUMS", 1 << 24), ("SHA256SUMS.asc", 1 << 16))


def fetch_first(url, dest):
    os.makedirs(dest, exist_ok=True)
    for name, cap in FIRST:
        try:
            fetch.fetch(url + "/" + name, os.path.join(dest, name), cap)
        except fetch.Missing:
            die("%s has no %s: it is not a libcwork repository tree" % (url, name))
        except fetch.Failed as e:
            die(str(e))


def fetch_rest(url, dest, listed, sizes):
    for name, sum in sorted(listed.items()):
        if name in dict(FIRST) or name not in sizes:
            continue
        path = os.path.join(dest, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        h = hashlib.sha256()
        try:
            fetch.fetch(url + "/" + urllib.parse.quote(name, safe="/+~"), path, int(sizes[name]), exact=True, sink=h.update)
        except fetch.Missing:
            bad(name, "missing at %s, and SHA256SUMS names it (sha256 %s)" % (url, sum))
            continue
        except fetch.Failed as e:
            if e.unreachable:
                die(str(e))
            bad(name, str(e))
            continue
        if h.hexdigest() != sum:
            bad(name, "fetched with sha256 %s, and SHA256SUMS says %s" % (h.hexdigest(), sum))
            os.remove(path)


def copy_tree(source, dest):
    """DEST, a copy of the tree SOURCE to check and then use: its files, and
    its links as links; what is neither stays out, and fails."""
    for name, kind in sorted(walk(source).items()):
        s, d = os.path.join(source, name), os.path.join(dest, name)
        os.makedirs(os.path.dirname(d), exist_ok=True)
        if kind == "d":
            os.makedirs(d, exist_ok=True)
        elif kind == "f":
            shutil.copyfile(s, d)
        elif kind == "l":
            os.symlink(os.readlink(s), d)
        elif owned(name):
            bad(shown(name), "not a plain file, which every file of the tree's own is")


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


def check_packages(index, entries, named):
    """Every entry of the Packages index INDEX (any compression), each file
    it names by its size and every hash that apt would check."""
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
        if holds(path, index, size=st.get("size")) and all(holds(path, index, algo, st[field])
                                                           for field, algo in HASHES if field in st):
            entries.append((st.get("package", ""), st.get("version", ""), path, index))


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
    if stanza.get("codename") != dist.split("/")[-1]:
        bad(release, "names the dist %s, not %s" % (stanza.get("codename"), dist.split("/")[-1]))
    named = {"Release", "Release.gpg", "InRelease"}
    for field, algo in HASHES:
        for line in stanza.get(field, "").split("\n"):
            words = line.split()
            if len(words) != 3:
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
                check_packages(dist + "/" + path, entries, pool_named)
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
                check_packages(name, entries, pool_named)
        elif path not in named:
            bad(name, "%s does not name it" % release)


def check_apt(dirs, signers, entries):
    pool_named = set()
    for dist in sorted(d for d in dirs if re.fullmatch(r"apt/dists/[^/]+", d)):
        check_dist(dist, signers, entries, pool_named)
    for name in sorted(f for f in files if f.startswith("apt/")):
        if name.startswith("apt/pool/") and name not in pool_named:
            bad(name, "no Packages of any dist names it")
        elif not name.startswith("apt/pool/") and not (name.startswith("apt/dists/") and name.count("/") >= 3):
            bad(name, "neither in apt/pool/ nor in a dist")


# ---- rpm ----

XML_BASE = "{http://www.w3.org/XML/1998/namespace}base"
# What createrepo_c writes; the others (primary_zck, updateinfo, modules,
# ...) dnf may read, and nothing here checks.
RPM_METADATA = ("primary", "primary_db", "filelists", "filelists_db", "other", "other_db")
RPM_HASHES = {"sha256": "sha256", "sha512": "sha512", "sha": "sha1", "sha1": "sha1", "md5": "md5"}


def local(tag):
    return tag.rsplit("}", 1)[-1]


def child(element, name):
    """ELEMENT's one child NAME; with two, which a client reads is not known: None."""
    found = [c for c in element if local(c.tag) == name]
    return found[0] if len(found) == 1 else None


def check_located(repo, where, href, base, algo, sum, size, named):
    """A file that rpm metadata WHERE names: inside REPO, as its checksum and size say."""
    if base:
        bad(where, "names %s at the base %s (xml:base), outside its own repository" % (shown(href), shown(base)))
        return None
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
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        bad(where, "not XML: %s" % e)
        return
    for pkg in (p for p in root.iter() if local(p.tag) == "package"):
        loc, ck, size, ver = (child(pkg, n) for n in ("location", "checksum", "size", "version"))
        if loc is None or ck is None:
            bad(where, "holds a package with no location or checksum")
            continue
        name = check_located(repo, where, loc.get("href", ""), loc.get(XML_BASE), ck.get("type"), (ck.text or "").strip(),
                             None if size is None else size.get("package"), named)
        if name and ver is not None:
            entries.append((child(pkg, "name").text, "%s-%s" % (ver.get("ver"), ver.get("rel")), name, where))


def primary_db(repo, where, data, named, entries):
    with tempfile.NamedTemporaryFile(dir=work) as db:
        db.write(data)
        db.flush()
        try:
            with sqlite3.connect("file:%s?mode=ro" % db.name, uri=True) as c:
                rows = c.execute("SELECT name, version, release, location_href, location_base, checksum_type, pkgId, "
                                 "size_package FROM packages").fetchall()
        except sqlite3.Error as e:
            bad(where, "not a primary database that can be read: %s" % e)
            return
    for pkg, ver, rel, href, base, algo, sum, size in rows:
        name = check_located(repo, where, href or "", base, algo, sum, size, named)
        if name:
            entries.append((pkg, "%s-%s" % (ver, rel), name, where))


def check_rpm_repo(repo, signers, entries):
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
    primary = False
    for data in (d for d in root.iter() if local(d.tag) == "data"):
        loc, ck, size, opened = (child(data, n) for n in ("location", "checksum", "size", "open-checksum"))
        if loc is None or ck is None:
            bad(repomd, "names metadata with no location or checksum")
            continue
        name = check_located(repo, repomd, loc.get("href", ""), loc.get(XML_BASE), ck.get("type"), (ck.text or "").strip(),
                             None if size is None else (size.text or "").strip(), named)
        kind = data.get("type")
        if kind not in RPM_METADATA:
            bad(repomd, "names metadata of the kind %s, which no release writes and make verify does not read" % kind)
        if not name or kind not in ("primary", "primary_db"):
            continue
        content = decompressed(name, read(name))
        if opened is not None and hashlib.new(RPM_HASHES.get(opened.get("type"), "sha256"), content).hexdigest() != \
                (opened.text or "").strip():
            bad(name, "uncompressed, it is not what %s says" % repomd)
            continue
        (primary_xml if kind == "primary" else primary_db)(repo, name, content, named, entries)
        primary = primary or kind == "primary"
    if not primary:
        bad(repomd, "names no primary metadata that holds")
    return named


def check_rpm(dirs, signers, entries):
    repos = sorted(d for d in dirs if re.fullmatch(r"rpm/[^/]+", d))
    if not repos:
        return
    needs("rpmkeys")
    rpmdb = os.path.join(work, "rpmdb")
    for key in ("libcwork.asc", "libcwork-retired.asc"):
        if key in files and run("rpmkeys", "--dbpath", rpmdb, "--import", os.path.join(top, key)).returncode:
            bad(key, "holds no key that rpmkeys can import")
    named = set()
    for repo in repos:
        named |= check_rpm_repo(repo, signers, entries)
    for name in sorted(f for f in files if f.startswith("rpm/") and f not in named):
        bad(name, "neither a repository's repomd.xml nor its primary metadata names it")
    # An .rpm carries one signature, by a key of the tree's when it was
    # released: the keys the tree names now or has retired.
    rpms = sorted({e[2] for e in entries if e[2].startswith("rpm/")})
    if rpms:
        out = run("rpmkeys", "--dbpath", rpmdb, "-K", *[os.path.join(top, r) for r in rpms]).stdout.decode(errors="replace")
        for line in out.splitlines():
            path, _, verdict = line.rpartition(": ")
            if verdict != "digests signatures OK":
                bad(os.path.relpath(path, top), "not signed by a key of the tree's: %s" % verdict)


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
        claimed = (claim or keyid).upper() or None
        good = good_signature(name, gpgv(keyring, path, os.path.join(work, "pae")), keys, trusted, once=True,
                              claimed=claimed, none=False) or good
    if not good:
        bad(name, none)
        return None
    return st


def subjects_of(name, st):
    found = {}
    for s in st.get("subject", []):
        subject, sum = s.get("name", ""), (s.get("digest") or {}).get("sha256", "")
        if name_fault(subject) or not plain(subject) or not owned(subject):
            bad(name, "names %s, which is not a file of the tree's own" % shown(subject))
            continue
        if subject not in files or digest(subject) != sum:
            bad(name, "names %s with sha256 %s, and the tree's is %s" % (subject, sum,
                                                                        digest(subject) if subject in files else "none"))
        found[subject] = sum
    return found


def record_fields(name):
    return dsse.record_fields(os.path.join(top, name))


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
        said = st.get("predicate", {}).get("buildDefinition", {}).get("externalParameters", {})
        if said.get("version") != v:
            bad(name, "is the provenance of version %s" % said.get("version"))
        subjects = subjects_of(name, st)
        record, source = "libcwork-%s.buildinfo" % v, "libcwork-%s-source.tar.gz" % v
        for what, file in (("build record", record), ("source archive", source)):
            if file not in subjects:
                bad("version %s" % v, "has no %s %s that its provenance names" % (what, file))
        if record in files and subjects.get(record) == digest(record):
            fields = record_fields(record)
            if fields.get("Version") != [v]:
                bad(record, "is the build record of version %s" % (" ".join(fields.get("Version", [])) or "(none)"))
            archive = (fields.get("Source-Archive") or [""])[0].split()
            if source in files and archive[:1] != [digest(source)]:
                bad(record, "names the source archive by sha256 %s, and %s is %s" % (archive[:1], source, digest(source)))
            if not re.fullmatch("[0-9a-f]{64}", (fields.get("Build-Root") or [""])[0]):
                say("version %s: its build record says Build-Root: %s, and nothing can rebuild it"
                    % (v, (fields.get("Build-Root") or ["(none)"])[0]))
        versions[v] = subjects
    return versions


def version_of(version, provenance):
    """The release version that an index's VERSION is of: itself, or with a
    suffix (+CODENAME of a keyring, .glibcN of an rpm's release)."""
    found = [v for v in provenance if version == v or version.startswith((v + "+", v + "."))]
    return max(found, key=len) if found else None


def check_coverage(entries, provenance):
    """Every file an index hands a client, and every file at the top, is a
    subject of its version's provenance; an unversioned alias has the bytes
    of one. {version: [(sha256, name, made as)]} for the rebuild."""
    of = {v: [(s, n, n.split("/")[-1]) for n, s in subjects.items()] for v, subjects in provenance.items()}
    indexed, seen = set(), set()
    for pkg, version, name, index in entries:
        if (pkg, version, name) in seen:
            continue
        seen.add((pkg, version, name))
        v = version_of(version, provenance)
        if v is None:
            bad(name, "%s names it as %s %s, a version with no provenance, build record and source archive" % (
                index, pkg, version))
        elif provenance[v].get(name) != digest(name):
            bad(name, "%s names it as %s %s, and the provenance of %s does not" % (index, pkg, version, v))
        else:
            indexed.add(v)
    at_top = {}
    for v, subjects in provenance.items():
        for n, s in subjects.items():
            if "/" not in n:
                at_top.setdefault(s, (v, n))
    covered = {n for subjects in provenance.values() for n in subjects}
    for name in sorted(f for f in files if "/" not in f and f not in METADATA and not f.endswith(".intoto.json")):
        if name in covered:
            continue
        if digest(name) in at_top:
            v, n = at_top[digest(name)]
            of[v].append((digest(name), name, n))
        else:
            bad(name, "no version's provenance names it, nor a file of its bytes")
    return of, indexed


def check_rebuilds():
    for name in sorted(f for f in files if f.startswith("rebuilds/")):
        m = re.fullmatch(r"rebuilds/libcwork-(.+)\.rebuilt-by-([0-9A-F]{40})\.intoto\.json", name)
        if not m:
            if not re.fullmatch(r"rebuilds/[0-9A-F]{40}\.asc", name):
                bad(name, "neither a rebuild's attestation nor a rebuilder's key")
            continue
        fpr = m.group(2)
        key = "rebuilds/%s.asc" % fpr
        if key not in files:
            bad(name, "its key %s is missing" % key)
            continue
        keyring = os.path.join(work, "rebuilder.gpg")
        with open(keyring, "wb") as f:
            f.write(run("gpg", "--dearmor", data=read(key)).stdout)
        st = signed_statement(name, dsse.SUMMARY, keyring, keys_of(keyring), {fpr}, claim=fpr,
                              none="not a good signature by the key %s" % key)
        if st is None:
            continue
        subjects = subjects_of(name, st)
        result = st.get("predicate", {}).get("verificationResult")
        if result != "PASSED":
            bad(name, "the rebuilder %s found other bytes: %s" % (fpr, result))
            continue
        say("rebuilt and matched by %s: %d files of libcwork-%s" % (fpr, len(subjects), m.group(1)))


# ---- What no signature covers ----

def report_unowned(entries):
    unowned = sorted(n for n, k in entries.items() if k != "d" and not owned(n) and not name_fault(n))
    if unowned:
        say("nothing vouches for %s: no signature covers them, and no client should trust them" % ", ".join(unowned))
    for name in unowned:
        if name.split("/")[-1] == ".htaccess":
            say("warning: %s configures the web server, and can redirect clients past every signature "
                "(Redirect, RewriteRule): check it by hand" % name)


# ---- No silent rollback ----

def state_dir():
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "libcwork", "verify")


def check_age(location, signed, signers, record):
    """The tree is not older than the newest that each key signed and that
    was accepted from LOCATION here; with RECORD, it is remembered as that."""
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
        for key in signers:
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
                    % (when(signed), " ".join(signers), location, when(newest)))
                return
            say("older than the tree accepted before (signed on %s), and taken as ACCEPT_OLDER=yes asks" % when(newest))
        if record:
            for key, (t, path) in known.items():
                if t is None or signed > t:
                    with open(path + ".tmp", "w") as f:
                        f.write("signed %d\nkey %s\nlocation %s\n" % (signed, key, location))
                    os.replace(path + ".tmp", path)


# ---- The whole ----

def newest(versions):
    found = None
    for v in versions:
        if found is None or run("dpkg", "--compare-versions", v, "gt", found).returncode == 0:
            found = v
    return found


def verify(args):
    global files
    entries = walk(top)
    files = check_names(entries)
    for name in ("FINGERPRINT", "libcwork.gpg"):
        if name not in files:
            die("%s has no %s: it is not a libcwork repository tree" % (location, name))
    keyring = os.path.join(top, "libcwork.gpg")
    keys = keys_of(keyring)
    signers = (keyring, keys, wanted(os.environ.get("FINGERPRINT") or read("FINGERPRINT").decode(errors="replace"), keys))
    signed = []
    if "SHA256SUMS" in files and "SHA256SUMS.asc" in files:
        signed = good_signature("SHA256SUMS.asc", gpgv(keyring, os.path.join(top, "SHA256SUMS.asc"),
                                                       os.path.join(top, "SHA256SUMS")), *signers[1:])
        if not signed and args.url:
            die("%s: nothing more of it is fetched, as its SHA256SUMS is not signed by %s" % (location, " ".join(signers[2])))
        listed, sizes = read_sums(read("SHA256SUMS"))
        if args.url:
            fetch_rest(args.url, top, listed, sizes)
            entries = walk(top)
            files = check_names(entries)
        check_sums(listed, sizes)
    else:
        bad("SHA256SUMS", "missing, or its signature SHA256SUMS.asc is: every release writes both")
    dirs = {n for n, k in entries.items() if k == "d"}
    indexed_files = []
    check_apt(dirs, signers, indexed_files)
    check_rpm(dirs, signers, indexed_files)
    provenance = check_provenance()
    of, indexed = check_coverage(indexed_files, provenance)
    check_rebuilds()
    report_unowned(entries)
    if not failures:
        check_age(location, signed[0]["made"], sorted({s["key"] for s in signed}), not args.no_record)
    if args.summary:
        with open(args.summary, "w") as f:
            f.write("newest %s\n" % (newest(indexed) or "none"))
            for v in sorted(of):
                f.write("version %s %s\n" % (v, "indexed" if v in indexed else "unindexed"))
                for sum, name, made_as in sorted(of[v], key=lambda e: e[1]):
                    f.write("file %s %s %s %s\n" % (v, sum, name, made_as))
    for line in news:
        print("verify: %s" % line)
    if failures:
        die("%s does not hold: %d failures" % (location, len(failures)))
    packages = {}
    for pkg, version, _, _ in indexed_files:
        packages.setdefault(pkg, set()).add(version_of(version, provenance))
    print("verify: newest versions: %s" % (", ".join("%s %s" % (p, newest(v)) for p, v in sorted(packages.items()))
                                          or "none"))
    print("verify: %s holds: %d files, signed by %s on %s" % (
        location, len(files), " ".join(sorted({s["key"] for s in signed})), when(signed[0]["made"])))


def main(argv):
    global top, work, location
    import argparse
    p = argparse.ArgumentParser(prog="verify.py", add_help=False)
    p.add_argument("--copy")
    p.add_argument("--summary")
    p.add_argument("--no-record", action="store_true")
    p.add_argument("--sums", action="store_true")
    p.add_argument("tree", nargs="?")
    try:
        args = p.parse_args(argv)
    except SystemExit:
        die("usage: verify.py [--copy DIR] [--summary FILE] [--no-record] DIR|URL, or verify.py --sums DIR")
    if not args.tree:
        die("usage: verify.py [--copy DIR] [--summary FILE] [--no-record] DIR|URL, or verify.py --sums DIR")
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    if args.sums:
        sums_of(args.tree)
        return
    for tool in ("gpg", "gpgv"):
        needs(tool)
    work = tempfile.mkdtemp()
    os.mkdir(os.path.join(work, "gnupg"), 0o700)
    try:
        args.url = None
        if re.match(r"(https?|file):", args.tree):
            args.url = args.tree.rstrip("/")
            location = args.url
            top = args.copy or os.path.join(work, "copy")
            fetch_first(args.url, top)
        elif os.path.isdir(args.tree):
            location = os.path.realpath(args.tree)
            top = location
            if args.copy:
                copy_tree(location, args.copy)
                top = args.copy
        else:
            die("%s is not a directory, nor an http:, https: or file: URL" % args.tree)
        verify(args)
    finally:
        run("gpgconf", "--homedir", os.path.join(work, "gnupg"), "--kill", "all")
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
