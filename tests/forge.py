#!/usr/bin/python3
"""forge.py [--keep-provenance] TREE KEY [EDIT]: everything in TREE that a
release signs, made to agree with what was changed there and signed again
by KEY from $GNUPGHOME, as one who holds the key could: each dist's Release,
each rpm repository's repomd.xml, each version's provenance (unless kept as
it is) and SHA256SUMS. EDIT is one more change made first:

  point DIST PACKAGE PATH all|gz|by-hash   PACKAGE's newest entry in DIST's
      Packages names PATH (under apt/), with its size and hashes: in
      Packages and Packages.gz, in Packages.gz alone, or in a by-hash copy
  field DIST PACKAGE FIELD VALUE           a field of that entry, in both
  locate REPO PACKAGE HREF BASE xml|sqlite  PACKAGE's location in REPO's
      primary metadata, xml or sqlite, at the base BASE (- for none)
  index DIST PATH                          a copy of DIST's Packages as PATH,
      which its Release names
  metadata REPO TYPE                       a copy of REPO's primary xml,
      which its repomd.xml names as TYPE
"""
import base64
import bz2
import gzip
import hashlib
import json
import os
import re
import sqlite3
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import dsse  # noqa: E402
import verify  # noqa: E402

args = sys.argv[1:]
keep = args[:1] == ["--keep-provenance"]
top, key, edit = args[keep:keep + 2] + [args[keep + 2:]]


def data(name):
    with open(os.path.join(top, name), "rb") as f:
        return f.read()


def fresh(name):
    """The path of NAME, for a new file: never written through a link that another name shares."""
    path = os.path.join(top, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.remove(path)
    return path


def write(name, content):
    with open(fresh(name), "wb") as f:
        f.write(content)


def sign(out, source, *how):
    subprocess.run(["gpg", "--batch", "--local-user", key + "!", "--armor", *how, "-o", fresh(out),
                    os.path.join(top, source)], check=True)


def entry(dist, package, change, where="all"):
    """DIST's Packages with CHANGE made to PACKAGE's last entry, written where WHERE says."""
    base = "apt/dists/%s/main/binary-amd64/" % dist
    stanzas = data(base + "Packages").decode().split("\n\n")
    at = max(i for i, st in enumerate(stanzas) if st.startswith("Package: %s\n" % package))
    stanzas[at] = change(stanzas[at])
    new = "\n\n".join(stanzas).encode()
    if where == "by-hash":
        write(base + "by-hash/SHA256/" + hashlib.sha256(new).hexdigest(), new)
        return
    if where == "all":
        write(base + "Packages", new)
    write(base + "Packages.gz", gzip.compress(new, 9, mtime=0))


def set_field(st, name, value):
    return re.sub(r"^%s: .*$" % name, lambda _: "%s: %s" % (name, value), st, flags=re.M)


def point(dist, package, path, where):
    content = data("apt/" + path)

    def change(st):
        st = set_field(set_field(st, "Filename", path), "Size", str(len(content)))
        for name, algo in (("MD5sum", "md5"), ("SHA1", "sha1"), ("SHA256", "sha256"), ("SHA512", "sha512")):
            st = set_field(st, name, hashlib.new(algo, content).hexdigest())
        return st
    entry(dist, package, change, where)


def locate(repo, package, href, base, where):
    meta = "rpm/%s/repodata/" % repo
    name = next(n for n in os.listdir(os.path.join(top, meta)) if n.endswith("-primary." + ("xml.gz" if where == "xml" else "sqlite.bz2")))
    if where == "xml":
        text = gzip.decompress(data(meta + name)).decode()
        blocks = re.findall(r"<package .*?</package>", text, flags=re.S)
        block = [b for b in blocks if "<name>%s</name>" % package in b][-1]
        at = ' xml:base="%s"' % base if base != "-" else ""
        text = text.replace(block, re.sub(r"<location [^>]*/>", '<location%s href="%s"/>' % (at, href), block))
        write(meta + name, gzip.compress(text.encode(), 9, mtime=0))
        return
    db = os.path.join(top, meta + "primary.sqlite")
    write(meta + "primary.sqlite", bz2.decompress(data(meta + name)))
    with sqlite3.connect(db) as c:
        c.execute("UPDATE packages SET location_href = ?, location_base = ? WHERE name = ?",
                  (href, None if base == "-" else base, package))
    write(meta + name, bz2.compress(data(meta + "primary.sqlite")))
    os.remove(db)


def index(dist, path):
    rel = "apt/dists/%s/" % dist
    write(rel + path, data(rel + "main/binary-amd64/Packages"))
    text = data(rel + "Release").decode().replace("SHA256:\n", "SHA256:\n %s 0 %s\n" % ("0" * 64, path))
    write(rel + "Release", text.encode())


def metadata(repo, kind):
    meta = "rpm/%s/repodata/" % repo
    text = data(meta + "repomd.xml").decode()
    block = re.search(r'<data type="primary">.*?</data>', text, flags=re.S).group(0)
    href = re.search(r'href="([^"]+)"', block).group(1)
    write(meta + kind + ".xml.gz", data("rpm/%s/" % repo + href))
    new = block.replace('type="primary"', 'type="%s"' % kind).replace(href, "repodata/%s.xml.gz" % kind)
    write(meta + "repomd.xml", text.replace("</repomd>", new + "\n</repomd>").encode())


EDITS = {"point": point, "locate": locate, "index": index, "metadata": metadata,
         "field": lambda dist, package, name, value: entry(dist, package, lambda st: set_field(st, name, value))}
if edit:
    if edit[0] not in EDITS:
        sys.exit("forge.py: no such edit: %s" % " ".join(edit))
    EDITS[edit[0]](*edit[1:])

for dist in sorted(d for d in os.listdir(os.path.join(top, "apt", "dists"))):
    rel = "apt/dists/%s/" % dist
    text = data(rel + "Release").decode()
    text = re.sub(r"^ ([0-9a-f]+) +([0-9]+) (\S+)$", lambda m: " %s %d %s" % (
        hashlib.new({32: "md5", 40: "sha1", 64: "sha256", 128: "sha512"}[len(m.group(1))], data(rel + m.group(3))).hexdigest(),
        len(data(rel + m.group(3))), m.group(3)), text, flags=re.M)
    write(rel + "Release", text.encode())
    sign(rel + "InRelease", rel + "Release", "--clearsign")
    sign(rel + "Release.gpg", rel + "Release", "--detach-sign")

for repo in sorted(os.listdir(os.path.join(top, "rpm"))):
    rel = "rpm/%s/" % repo
    text = data(rel + "repodata/repomd.xml").decode()
    for block in re.findall(r"<data .*?</data>", text, flags=re.S):
        href = re.search(r'href="([^"]+)"', block).group(1)
        packed = data(rel + href)
        opened = verify.decompressed(href, packed)
        new = re.sub(r'(<checksum type="sha256">)[0-9a-f]+', r"\g<1>" + hashlib.sha256(packed).hexdigest(), block)
        new = re.sub(r'(<open-checksum type="sha256">)[0-9a-f]+', r"\g<1>" + hashlib.sha256(opened).hexdigest(), new)
        new = re.sub(r"<size>[0-9]+", "<size>%d" % len(packed), new)
        new = re.sub(r"<open-size>[0-9]+", "<open-size>%d" % len(opened), new)
        text = text.replace(block, new)
    write(rel + "repodata/repomd.xml", text.encode())
    sign(rel + "repodata/repomd.xml.asc", rel + "repodata/repomd.xml", "--detach-sign")

for name in sorted(n for n in os.listdir(top) if re.fullmatch(r"libcwork-.+\.intoto\.json", n) and not keep):
    version = name[len("libcwork-"):-len(".intoto.json")]
    statement, _, _ = dsse.parts(os.path.join(top, name), dsse.PROVENANCE)
    statement["subject"] = dsse.subjects(top, version)
    # What it says of the source, as the build record (if any) now says it.
    if os.path.exists(os.path.join(top, "libcwork-%s.buildinfo" % version)):
        fields = dsse.record_fields(os.path.join(top, "libcwork-%s.buildinfo" % version))
        build = statement["predicate"]["buildDefinition"]
        build["externalParameters"]["source"]["digest"]["sha256"] = fields["Source-Archive"][0].split()[0]
        build["externalParameters"]["commit"] = fields["Commit"][0]
    body = json.dumps(statement, indent=1, sort_keys=True).encode()
    sig = subprocess.run(["gpg", "--batch", "--local-user", key + "!", "--detach-sign", "-o", "-"],
                         input=dsse.pae(body), capture_output=True, check=True).stdout
    write(name, json.dumps({"payloadType": dsse.PAYLOAD_TYPE, "payload": base64.b64encode(body).decode(),
                            "signatures": [{"keyid": key, "sig": base64.b64encode(sig).decode()}]}, indent=1).encode())

sums = subprocess.run([sys.executable, os.path.join(os.path.dirname(verify.__file__), "verify.py"), "--sums", top],
                      capture_output=True, check=True).stdout
write("SHA256SUMS", sums)
sign("SHA256SUMS.asc", "SHA256SUMS", "--detach-sign")
