#!/usr/bin/python3
"""The parts of scripts/package that the packaging tools would leave to the clock or to chance.

  pack.py zip ARCHIVE FOLDER EPOCH
      ARCHIVE holds FOLDER's tree under FOLDER's own name, members in sorted order, each dated
      EPOCH (UTC), files 0644 or 0755 as their owner's execute bit says, folders 0755: the same
      bytes whatever the umask, the clock and the order of the folder's entries.
  pack.py product-code VERSION ARCH
      Prints the product code of VERSION's ARCH package.
  pack.py msi-summary MSI VERSION ARCH EPOCH
      Sets the package's creation and last-saved times (wixl's and msibuild's clock) to EPOCH
      and its package code (the summary's revision number, which wixl draws at random) to one
      derived from the package's bytes: another package gets another code, the same package
      the same one.

  pack.py oci-index LAYOUT REF IMAGE_LAYOUT...
      Writes into the OCI layout LAYOUT (its blobs already there) an image index of the one
      image of each IMAGE_LAYOUT, with its platform as its configuration gives it, and tags the
      index REF: one name for every architecture. umoci makes no index, and skopeo only copies
      one.

Runs under Debian's Python, whose olefile reads and writes the MSI's compound file.
"""
import hashlib
import json
import os
import stat
import struct
import sys
import time
import uuid
import zipfile

UPGRADE_CODE = uuid.UUID("BF1EF7C2-7417-45F1-B7F0-0AED516C404C")


def derived_code(*words):
    """A code of the product's own, named by words: the same words, the same code."""
    return "{%s}" % str(uuid.uuid5(UPGRADE_CODE, " ".join(words))).upper()


def write_zip(archive, folder, epoch):
    # A zip's dates are local times to 2 s; UTC keeps them the same on every machine.
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # a zip cannot date before 1980
    base = os.path.dirname(os.path.abspath(folder))
    entries = []
    for where, dirs, files in os.walk(folder):
        for name in dirs + files:
            entries.append(os.path.join(where, name))
    entries.append(folder)
    temporary = archive + ".part"
    with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as z:
        for path in sorted(entries, key=lambda p: os.path.relpath(os.path.abspath(p), base)):
            name = os.path.relpath(os.path.abspath(path), base)
            mode = os.lstat(path).st_mode
            if stat.S_ISDIR(mode):
                info = zipfile.ZipInfo(name + "/", stamp)
                info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10
                z.writestr(info, b"")
            elif stat.S_ISREG(mode):
                info = zipfile.ZipInfo(name, stamp)
                info.external_attr = (stat.S_IFREG | (0o755 if mode & stat.S_IXUSR else 0o644)) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    z.writestr(info, f.read(), compresslevel=9)
            else:
                sys.exit("pack.py: %s is neither a file nor a folder" % path)
    os.replace(temporary, archive)


# Summary information: property identifiers and types (MS-OLEPS).
PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def write_summary(msi, package_code, filetime):
    import olefile

    with olefile.OleFileIO(msi, write_mode=True) as ole:
        name = "\x05SummaryInformation"
        data = bytearray(ole.openstream(name).read())
        section = struct.unpack_from("<I", data, 44)[0]
        count = struct.unpack_from("<I", data, section + 4)[0]
        wanted = {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}
        for i in range(count):
            pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
            value = section + offset
            kind = struct.unpack_from("<I", data, value)[0]
            if pid == PID_REVNUMBER and kind == VT_LPSTR:
                # The same length as the code it replaces, so the stream keeps its size.
                size = struct.unpack_from("<I", data, value + 4)[0]
                text = package_code.encode("ascii") + b"\0"
                if size != len(text):
                    sys.exit("pack.py: %s's package code is %d bytes, not %d" % (msi, size, len(text)))
                data[value + 8:value + 8 + size] = text
            elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
                data[value + 4:value + 12] = filetime
            else:
                continue
            wanted.discard(pid)
        if wanted:
            sys.exit("pack.py: %s's summary lacks properties %s" % (msi, sorted(wanted)))
        ole.write_stream(name, bytes(data))


def set_msi_summary(msi, version, arch, epoch):
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10000000)
    # The code is left out of what it is derived from: a fixed one stands in for it first.
    write_summary(msi, "{%s}" % str(uuid.UUID(int=0)).upper(), filetime)
    with open(msi, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    write_summary(msi, derived_code("VantrelCtrl", version, arch, "package", digest), filetime)


def write_oci_index(layout, ref, image_layouts):
    blobs = os.path.join(layout, "blobs", "sha256")

    def put(document):
        data = json.dumps(document, separators=(",", ":"), sort_keys=True).encode()
        digest = hashlib.sha256(data).hexdigest()
        with open(os.path.join(blobs, digest), "wb") as f:
            f.write(data)
        return "sha256:" + digest, len(data)

    def blob(digest):
        with open(os.path.join(blobs, digest.split(":", 1)[1]), "rb") as f:
            return json.load(f)

    manifests = []
    for image_layout in image_layouts:
        with open(os.path.join(image_layout, "index.json")) as f:
            entries = json.load(f)["manifests"]
        if len(entries) != 1:
            sys.exit("pack.py: %s holds %d images, not one" % (image_layout, len(entries)))
        config = blob(blob(entries[0]["digest"])["config"]["digest"])
        manifests.append({"mediaType": entries[0]["mediaType"], "digest": entries[0]["digest"],
                          "size": entries[0]["size"],
                          "platform": {"architecture": config["architecture"], "os": config["os"]}})
    digest, size = put({"schemaVersion": 2, "mediaType": "application/vnd.oci.image.index.v1+json",
                        "manifests": manifests})
    with open(os.path.join(layout, "oci-layout"), "w") as f:
        json.dump({"imageLayoutVersion": "1.0.0"}, f)
    with open(os.path.join(layout, "index.json"), "w") as f:
        json.dump({"schemaVersion": 2, "manifests": [
            {"mediaType": "application/vnd.oci.image.index.v1+json", "digest": digest, "size": size,
             "annotations": {"org.opencontainers.image.ref.name": ref}}]}, f, separators=(",", ":"))


def main(argv):
    if len(argv) == 5 and argv[1] == "zip":
        write_zip(argv[2], argv[3], int(argv[4]))
    elif len(argv) == 4 and argv[1] == "product-code":
        print(derived_code("VantrelCtrl", argv[2], argv[3]))
    elif len(argv) == 6 and argv[1] == "msi-summary":
        set_msi_summary(argv[2], argv[3], argv[4], int(argv[5]))
    elif len(argv) >= 5 and argv[1] == "oci-index":
        write_oci_index(argv[2], argv[3], argv[4:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
