#!/usr/bin/env python3
"""Writes a driver package's catalog file (.cat): the list of the package's files by hash, as Windows checks them.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list (CTL) of "catalog list" members. Each
member is one file: its tag is the file's SHA-256 hash in upper-case hex, and its attributes carry the file's name
and the hash again as an Authenticode indirect-data record (for a PE image the Authenticode image hash, which leaves
out the checksum, the certificate table entry and any embedded signature; for other files the hash of the bytes).
The catalog this script writes has no signature; `osslsigncode sign` adds one (winbuild/sign.sh).

    make_catalog.py --output tavelo.cat tavelo.inf tavelo.sys [--os 10_X64]
"""

import argparse
import hashlib
import os
import struct
import sys
import time

# ---- DER -----------------------------------------------------------------------------------------------------------


def der(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def seq(*items):
    return der(0x30, b"".join(items))


def set_of(*items):
    return der(0x31, b"".join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, body)


def integer(value):
    raw = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True)
    return der(0x02, raw)


def octets(data):
    return der(0x04, data)


def bmp(text):
    return der(0x1E, text.encode("utf-16-be"))


def utc_time(seconds):
    return der(0x17, time.strftime("%y%m%d%H%M%SZ", time.gmtime(seconds)).encode())


def explicit(number, content):
    return der(0xA0 | number, content)


NULL = der(0x05, b"")

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"  # members tagged with SHA-256 hashes
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO2 = "1.3.6.1.4.1.311.12.2.3"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # the indirect data type catalogs use for flat files
OID_SHA256 = "2.16.840.1.101.3.4.2.1"

# CAT_NAMEVALUE flags: an attribute with an authenticated, name-value, UTF-16 string value.
NAMEVALUE_FLAGS = 0x10010001

# ---- Hashes --------------------------------------------------------------------------------------------------------


def pe_image_hash(data):
    """The Authenticode hash of a PE image, or None when the data is not one."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    checksum = optional + 64
    certificate_entry = directories + 4 * 8
    cert_offset, cert_size = struct.unpack_from("<II", data, certificate_entry)
    end = cert_offset if cert_offset and cert_size else len(data)
    h = hashlib.sha256()
    h.update(data[:checksum])
    h.update(data[checksum + 4:certificate_entry])
    h.update(data[certificate_entry + 8:end])
    return h.digest()


def namevalue(name, value):
    """A CAT_NAMEVALUE attribute: name, flags and a null-terminated UTF-16 value."""
    record = seq(bmp(name), integer(NAMEVALUE_FLAGS), octets((value + "\0").encode("utf-16-le")))
    return seq(oid(OID_CAT_NAMEVALUE), set_of(record))


def member(path):
    with open(path, "rb") as f:
        data = f.read()
    image_hash = pe_image_hash(data)
    digest = image_hash if image_hash is not None else hashlib.sha256(data).digest()
    if image_hash is not None:
        # SpcPeImageData: flags (empty bit string) and the file link as an empty file name.
        spc_type = seq(oid(OID_SPC_PE_IMAGE_DATA), seq(der(0x03, b"\0"), explicit(0, explicit(2, der(0x80, b"")))))
    else:
        spc_type = seq(oid(OID_SPC_CAB_DATA), der(0x03, b"\0"))
    indirect = seq(spc_type, seq(seq(oid(OID_SHA256), NULL), octets(digest)))
    attributes = set_of(
        namevalue("File", os.path.basename(path).lower()),
        namevalue("OSAttr", "2:10.0"),
        seq(oid(OID_SPC_INDIRECT_DATA), set_of(indirect)),
        seq(oid(OID_CAT_MEMBERINFO2), set_of(seq(explicit(0, b"")))),
    )
    tag = digest.hex().upper().encode("utf-16-le")
    return seq(octets(tag), attributes), digest


def catalog(paths, os_attr, now):
    members = []
    hashes = []
    for path in paths:
        m, digest = member(path)
        members.append(m)
        hashes.append(digest)
    # The list identifier: 16 bytes derived from the members, so that the same package gives the same catalog.
    identifier = hashlib.sha256(b"".join(sorted(hashes))).digest()[:16]
    extensions = seq(
        seq(oid(OID_CAT_NAMEVALUE), octets(seq(bmp("OS"), integer(NAMEVALUE_FLAGS), octets((os_attr + "\0").encode("utf-16-le"))))),
        seq(oid(OID_CAT_NAMEVALUE), octets(seq(bmp("HWID1"), integer(NAMEVALUE_FLAGS), octets("\0".encode("utf-16-le"))))),
    )
    ctl = seq(
        seq(oid(OID_CATALOG_LIST)),
        octets(identifier),
        utc_time(now),
        seq(oid(OID_CATALOG_LIST_MEMBER2), NULL),
        seq(*sorted(members)),
        explicit(0, extensions),
    )
    signed_data = seq(
        integer(1),
        set_of(seq(oid(OID_SHA256), NULL)),
        seq(oid(OID_CTL), explicit(0, ctl)),
        der(0x31, b""),  # no signer yet
    )
    return seq(oid(OID_SIGNED_DATA), explicit(0, signed_data))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", required=True)
    parser.add_argument("--os", default="10_X64", help="the OS attribute of the catalog (default 10_X64)")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    now = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    try:
        data = catalog(args.files, args.os, now)
    except OSError as e:
        print("make_catalog.py: %s" % e, file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
