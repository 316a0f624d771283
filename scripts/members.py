#!/usr/bin/python3
"""members.py A B [AS_A AS_B]: the members in which two archives (.tar and
its compressed forms, .deb, .rpm) differ, a line each, the archives named
AS_A and AS_B; exit status 1 if any do."""
import hashlib
import io
import subprocess
import sys
import tarfile


def tar_files(data, prefix=""):
    """{NAME: (mode and owners, bytes)} of a tar archive, any compression."""
    found = {}
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for m in tar:
            content = tar.extractfile(m).read() if m.isfile() else m.linkname.encode()
            found[prefix + m.name] = ("mode %04o, %s:%s" % (m.mode, m.uname, m.gname), content)
    return found


def deb_files(data):
    # ar: a global header, then each member's 60-byte header and its bytes,
    # padded to an even length; the control and data archives' files are
    # named as they lie in them, control.tar's behind "control:".
    found, at = {}, 8
    while at + 60 <= len(data):
        name, size = data[at:at + 16].decode().strip().rstrip("/"), int(data[at + 48:at + 58])
        body = data[at + 60:at + 60 + size]
        found[name] = ("", body)
        if name.startswith("control.tar"):
            found.update(tar_files(body, "control:"))
        elif name.startswith("data.tar"):
            found.update(tar_files(body))
        at += 60 + size + size % 2
    return found


def cpio_files(data):
    # The newc format that rpm2cpio writes: a 110-byte header of hex fields,
    # the name, then the file, each padded to four bytes.
    found, at = {}, 0
    while data[at:at + 6] == b"070701":
        fields = [int(data[at + 6 + 8 * i:at + 14 + 8 * i], 16) for i in range(13)]
        name_size, size = fields[11], fields[6]
        name = data[at + 110:at + 110 + name_size - 1].decode()
        at += (110 + name_size + 3) & ~3
        if name == "TRAILER!!!":
            break
        found[name] = ("mode %o" % fields[1], data[at:at + size])
        at += (size + 3) & ~3
    return found


def files_of(path):
    """{NAME: (mode and owners, bytes)} of every member of the archive PATH."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] == b"!<arch>\n":
        return deb_files(data)
    if data[:4] == b"\xed\xab\xee\xdb":
        return cpio_files(subprocess.run(["rpm2cpio", path], capture_output=True, check=True).stdout)
    return tar_files(data)


def member(path, name):
    """The bytes of the member NAME of the archive PATH, or None."""
    try:
        return files_of(path).get(name, (None, None))[1]
    except (OSError, ValueError, EOFError, tarfile.TarError, subprocess.CalledProcessError):
        return None


def main(a, b, as_a=None, as_b=None):
    left, right = ({n: "%ssha256 %s" % (m + ", " if m else "", hashlib.sha256(c).hexdigest()[:16])
                    for n, (m, c) in files_of(p).items()} for p in (a, b))
    as_a, as_b = as_a or a, as_b or b
    differ = False
    for name in sorted(set(left) | set(right)):
        if left.get(name) != right.get(name):
            differ = True
            print("  %s: %s" % (name, "only in the %s" % (as_a if name in left else as_b)
                                if None in (left.get(name), right.get(name))
                                else "the %s %s, the %s %s" % (as_a, left[name], as_b, right[name])))
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main(*sys.argv[1:5])
