#!/usr/bin/env python3
"""dsse.py: a release's provenance, an in-toto Statement v1 with an SLSA
Provenance v1 predicate, in a DSSE envelope. gpg makes and checks the
signatures; this writes and reads what they are made over.

  dsse.py statement TOP VERSION RECORD BUILDER   the Statement, on stdout:
      every file of TOP whose name carries VERSION is a subject; the build
      record RECORD gives the source, the root and the sysroots
  dsse.py rebuilt RESULT VERIFIER RESOURCE PROVENANCE SUMS RECORD DIFFERENCES
      a rebuild's attestation, an SLSA verification summary: RESULT (PASSED
      or FAILED) of the files SUMS lists ("SHA256 NAME" a line), against
      PROVENANCE, with the rebuilder's build record and what differed
  dsse.py pae STATEMENT                          the bytes a signature covers
  dsse.py envelope STATEMENT KEYID=SIG...        the envelope, on stdout
"""
import base64, hashlib, json, os, re, sys

PAYLOAD_TYPE = "application/vnd.in-toto+json"


def pae(body):
    # DSSE's pre-authentication encoding: what is signed names its type.
    t = PAYLOAD_TYPE.encode()
    return b"DSSEv1 %d %s %d %s" % (len(t), t, len(body), body)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def record_fields(path):
    # deb822: a field, and the lines that continue it.
    fields, name = {}, None
    for line in open(path, encoding="utf-8", errors="replace"):
        if line[:1] == " " and name:
            fields[name].append(line.strip())
        elif ":" in line:
            name, value = line.split(":", 1)
            fields[name] = [value.strip()] if value.strip() else []
    return fields


def subjects(top, version):
    """Every file of TOP whose name carries VERSION, with its sha256."""
    mark = re.compile(r"[_-]" + re.escape(version) + r"([._+-]|$)")
    found = []
    for base, _, files in os.walk(top):
        for name in files:
            path = os.path.relpath(os.path.join(base, name), top)
            if mark.search(name) and not name.endswith(".intoto.json") and "/by-hash/" not in path:
                found.append({"name": path, "digest": {"sha256": sha256(os.path.join(top, path))}})
    return sorted(found, key=lambda s: s["name"])


def statement(top, version, record, builder):
    f = record_fields(record)
    source_sum, source = f["Source-Archive"][0].split()
    # A build outside a clean root (a trial's) has no root to name.
    in_root = bool(re.fullmatch("[0-9a-f]{64}", f["Build-Root"][0]))
    deps = [{"name": "build root: Debian %s, with %s" % (f["Build-Release"][0], f["Build-Root-Packages"][0]),
             "digest": {"sha256": f["Build-Root"][0]}}] if in_root else []
    deps += [{"name": "sysroot: %s" % name, "digest": {"sha256": s}}
             for s, name in (line.split(" ", 1) for line in f.get("Sysroot-Debs", []))]
    kind = "rootbuild" if in_root else "outside-root"
    return {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": subjects(top, version),
        "predicateType": PROVENANCE,
        "predicate": {
            "buildDefinition": {
                "buildType": builder + "/build-types/%s/v1" % kind,
                "externalParameters": {"source": {"name": source, "digest": {"sha256": source_sum}},
                                       "commit": f["Commit"][0], "version": version},
                "internalParameters": {"sourceDateEpoch": f["Source-Date-Epoch"][0],
                                       "environment": f.get("Build-Environment", [])},
                "resolvedDependencies": deps,
            },
            "runDetails": {"builder": {"id": builder + "/builders/" + kind}},
        },
    }


PROVENANCE = "https://slsa.dev/provenance/v1"
SUMMARY = "https://slsa.dev/verification_summary/v1"


def rebuilt(result, verifier, resource, provenance, sums, record, differences):
    subjects = [{"name": name, "digest": {"sha256": s}}
                for s, name in (line.split(" ", 1) for line in open(sums).read().splitlines())]
    # What is not in a verification summary: the rebuilder's own build
    # record (its root's packages, its host and time) and what differed.
    found = {"record": {"name": os.path.basename(record), "digest": {"sha256": sha256(record)},
                        "content": open(record, encoding="utf-8", errors="replace").read()},
             "differences": open(differences).read().splitlines()}
    return {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": subjects,
        "predicateType": SUMMARY,
        "predicate": {
            "verifier": {"id": verifier},
            "resourceUri": resource,
            "policy": {"uri": "rebuilt from the published source in the recorded root, every file compared"},
            "inputAttestations": [{"uri": os.path.basename(provenance), "digest": {"sha256": sha256(provenance)}}],
            "verificationResult": result,
            "rebuild": found,
        },
    }


def parts(path, want):
    """The statement an envelope carries, parsed, the bytes a signature covers,
    and its signatures as (keyid, bytes); ValueError if it is not a DSSE
    envelope of an in-toto Statement v1 of the predicate WANT."""
    try:
        with open(path, "rb") as f:
            env = json.load(f)
        body = base64.b64decode(env["payload"], validate=True)
        sigs = [(s.get("keyid", ""), base64.b64decode(s["sig"], validate=True)) for s in env["signatures"]]
        st = json.loads(body)
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        raise ValueError("not a DSSE envelope: %s" % e) from None
    if env.get("payloadType") != PAYLOAD_TYPE or not isinstance(st, dict) or not isinstance(st.get("subject"), list):
        raise ValueError("the payload is not an in-toto statement")
    if st.get("_type") != "https://in-toto.io/Statement/v1" or st.get("predicateType") != want:
        raise ValueError("not an in-toto Statement v1 of %s" % want)
    return st, pae(body), sigs


def main(args):
    if args[0] == "statement":
        json.dump(statement(*args[1:5]), sys.stdout, indent=1, sort_keys=True)
    elif args[0] == "rebuilt":
        json.dump(rebuilt(*args[1:8]), sys.stdout, indent=1, sort_keys=True)
    elif args[0] == "pae":
        sys.stdout.buffer.write(pae(open(args[1], "rb").read()))
    elif args[0] == "envelope":
        sigs = [dict(zip(("keyid", "sig"), a.split("=", 1))) for a in args[2:]]
        for s in sigs:
            s["sig"] = base64.b64encode(open(s["sig"], "rb").read()).decode()
        body = base64.b64encode(open(args[1], "rb").read()).decode()
        json.dump({"payloadType": PAYLOAD_TYPE, "payload": body, "signatures": sigs}, sys.stdout, indent=1)


if __name__ == "__main__":
    main(sys.argv[1:])
