#!/usr/bin/env python3
"""Static checks of the shipped VantrelCtrl.dll, SwitchProbe.exe and vantrel.exe.

Reads the PE files directly, so it runs on any host, including one that cannot execute the
binaries: machine, exports, imported DLLs, the embedded type library's syskind and the
version resource. Prints one line per check; a failed check says what it found.
"""

import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

MACHINES = {0x014C: "i386", 0x8664: "AMD64", 0xAA64: "ARM64", 0x01C4: "ARMNT"}
ARCHES = {
    # arch: (PE machine, type library syskind)
    "win32": (0x014C, 1),
    "win64": (0x8664, 3),
}
SYSKINDS = {0: "SYS_WIN16", 1: "SYS_WIN32", 2: "SYS_MAC", 3: "SYS_WIN64"}

DLL_EXPORTS = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"}
# DLLs that every supported Windows has. Anything else, such as the toolchain's libgcc_s,
# libstdc++ or libwinpthread, would have to ship beside the binaries.
SYSTEM_DLLS = {"kernel32", "user32", "gdi32", "advapi32", "ole32", "oleaut32", "msvcrt", "winmm"}

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE = 0, 1, 2
RT_VERSION = 16


class FormatError(Exception):
    pass


class Image:
    """The parts of a PE file that the checks read."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise FormatError("no MZ header")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise FormatError("no PE signature at 0x%x" % pe)
        coff = pe + 4
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", self.data, coff)
        optional = coff + 20
        magic = self.u16(optional)
        if magic == 0x10B:
            count_at, dirs_at = optional + 92, optional + 96
        elif magic == 0x20B:
            count_at, dirs_at = optional + 108, optional + 112
        else:
            raise FormatError("unknown optional header magic 0x%x" % magic)
        self.header_size = self.u32(optional + 60)
        self.dirs = [struct.unpack_from("<II", self.data, dirs_at + 8 * i)
                     for i in range(self.u32(count_at))]
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            vsize, va, raw_size, raw_at = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((va, max(vsize, raw_size), raw_at, raw_size))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        if rva < self.header_size:
            return rva
        for va, size, raw_at, raw_size in self.sections:
            if va <= rva < va + size:
                if rva - va >= raw_size:
                    raise FormatError("RVA 0x%x lies in a section's uninitialised tail" % rva)
                return raw_at + rva - va
        raise FormatError("RVA 0x%x is in no section" % rva)

    def ascii_at(self, rva):
        start = self.offset(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("ascii", "replace")

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def exports(self):
        """Exported names, and how many exports have no name (ordinal only)."""
        rva, _ = self.directory(DIR_EXPORT)
        if rva == 0:
            return [], 0
        functions, names, functions_rva, names_rva, ordinals_rva = struct.unpack_from(
            "<IIIII", self.data, self.offset(rva) + 20)
        named = [self.ascii_at(self.u32(self.offset(names_rva) + 4 * i)) for i in range(names)]
        with_name = {self.u16(self.offset(ordinals_rva) + 2 * i) for i in range(names)}
        table = self.offset(functions_rva) if functions else 0
        unnamed = sum(1 for i in range(functions)
                      if self.u32(table + 4 * i) and i not in with_name)
        return named, unnamed

    def imported_dlls(self):
        rva, _ = self.directory(DIR_IMPORT)
        if rva == 0:
            return []
        dlls = []
        # 20-byte descriptors, each naming its DLL at +12, up to an all-zero one.
        at = self.offset(rva)
        while any(self.data[at:at + 20]):
            dlls.append(self.ascii_at(self.u32(at + 12)))
            at += 20
        return dlls

    def resource(self, kind, name):
        """The data of resource kind/name (an int id or a string), in its first language."""
        rva, _ = self.directory(DIR_RESOURCE)
        if rva == 0:
            raise FormatError("no resource directory")
        # Three levels: kind, name, language; the last entry points at the data entry.
        root = self.offset(rva)
        at = root
        for level, key in enumerate((kind, name, None)):
            target = self._resource_entry(root, at, key)
            if target is None:
                raise FormatError("no resource %s %s" % (kind, name))
            if bool(target & 0x80000000) != (level < 2):
                raise FormatError("resource directory of %s %s is malformed" % (kind, name))
            at = root + (target & 0x7FFFFFFF)
        data_rva, size = struct.unpack_from("<II", self.data, at)
        start = self.offset(data_rva)
        return self.data[start:start + size]

    def _resource_entry(self, root, directory, key):
        """The target field of the entry for key (None: the first one) in a directory."""
        named, ids = struct.unpack_from("<HH", self.data, directory + 12)
        for i in range(named + ids):
            name_field, target = struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
            if name_field & 0x80000000:
                at = root + (name_field & 0x7FFFFFFF)
                entry_key = self.data[at + 2:at + 2 + 2 * self.u16(at)].decode("utf-16-le")
                matches = isinstance(key, str) and entry_key.upper() == key.upper()
            else:
                matches = key == name_field
            if key is None or matches:
                return target
        return None


def machine_name(machine):
    return "%s (0x%x)" % (MACHINES.get(machine, "unknown"), machine)


def check_machine(image, expected):
    if image.machine != expected:
        return "machine %s, expected %s" % (machine_name(image.machine), machine_name(expected))
    return None


def check_exports(image):
    names, unnamed = image.exports()
    problems = []
    if set(names) != DLL_EXPORTS or len(names) != len(DLL_EXPORTS):
        problems.append("exports %s, expected exactly %s" % (sorted(names), sorted(DLL_EXPORTS)))
    if unnamed:
        problems.append("%d exports by ordinal only" % unnamed)
    return "; ".join(problems) or None


def check_imports(image):
    dlls = image.imported_dlls()
    foreign = [d for d in dlls if d.lower().removesuffix(".dll") not in SYSTEM_DLLS]
    if foreign:
        return "imports %s beyond the system's (all imports: %s)" % (foreign, dlls)
    return None


def check_syskind(image, expected):
    library = image.resource("TYPELIB", 1)
    if library[:4] != b"MSFT":
        return "TYPELIB 1 is not an MSFT type library (starts %r)" % library[:4]
    # The low nibble of the header's flags word, after the two locale fields.
    syskind = struct.unpack_from("<I", library, 0x14)[0] & 0xF
    if syskind != expected:
        return "type library syskind %d (%s), expected %d (%s)" % (
            syskind, SYSKINDS.get(syskind, "unknown"), expected, SYSKINDS[expected])
    return None


def fixed_versions(image):
    """(file version, product version) from VS_FIXEDFILEINFO, each as four numbers."""
    block = image.resource(RT_VERSION, 1)
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    if block[6:6 + len(key)] != key:
        raise FormatError("version resource does not start with VS_VERSION_INFO")
    value_length = struct.unpack_from("<H", block, 2)[0]
    at = (6 + len(key) + 3) & ~3
    if value_length < 52 or struct.unpack_from("<I", block, at)[0] != 0xFEEF04BD:
        raise FormatError("version resource has no VS_FIXEDFILEINFO")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", block, at + 8)

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return split(file_ms, file_ls), split(product_ms, product_ls)


def check_version(image, expected):
    file_version, product_version = fixed_versions(image)
    problems = ["%s version %s, expected %s" % (what, dotted(found), dotted(expected))
                for what, found in (("file", file_version), ("product", product_version))
                if found != expected]
    return "; ".join(problems) or None


def dotted(version):
    return ".".join(str(n) for n in version)


def version_arg(text):
    """A release version of one to four numbers; missing ones are 0, as Windows shows them."""
    try:
        numbers = tuple(int(part) for part in text.split("."))
    except ValueError:
        numbers = ()
    if not 1 <= len(numbers) <= 4 or not all(0 <= n <= 0xFFFF for n in numbers):
        raise argparse.ArgumentTypeError("not a version of 1-4 numbers 0-65535: %r" % text)
    return numbers + (0,) * (4 - len(numbers))


def run_checks(path, checks):
    """[(check name, failure or None)] for one file; a file that cannot be read fails all."""
    try:
        image = Image(path)
    except (OSError, FormatError, struct.error) as error:
        return [(name, "cannot read %s: %s" % (path, error)) for name, _ in checks]
    results = []
    for name, check in checks:
        try:
            results.append((name, check(image)))
        except (FormatError, struct.error, ValueError, IndexError) as error:
            results.append((name, "cannot read: %s" % error))
    return results


def write_xml(path, results):
    """JUnit-style results beside the GoogleTest ones, so that they are counted with them."""
    failures = sum(1 for _, _, failure in results if failure)
    suites = ElementTree.Element("testsuites", tests=str(len(results)),
                                 failures=str(failures), errors="0", name="pe_check")
    by_file = {}
    for file_name, check, failure in results:
        if file_name not in by_file:
            by_file[file_name] = ElementTree.SubElement(suites, "testsuite", name=file_name)
        case = ElementTree.SubElement(by_file[file_name], "testcase", name=check)
        if failure:
            ElementTree.SubElement(case, "failure", message=failure)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    ElementTree.ElementTree(suites).write(path, encoding="utf-8", xml_declaration=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=sorted(ARCHES))
    parser.add_argument("--version", required=True, type=version_arg,
                        help="the release version, of the library and vantrel")
    parser.add_argument("--dll", required=True, help="VantrelCtrl.dll")
    parser.add_argument("--probe", required=True, help="SwitchProbe.exe")
    parser.add_argument("--probe-version", required=True, type=version_arg)
    parser.add_argument("--cli", required=True, help="vantrel.exe")
    parser.add_argument("--xml", help="write the results here as JUnit XML")
    args = parser.parse_args()
    machine, syskind = ARCHES[args.arch]

    def program_checks(version):
        return [
            ("machine", lambda image: check_machine(image, machine)),
            ("imports", check_imports),
            ("version", lambda image: check_version(image, version)),
        ]

    files = [
        (args.dll, [
            ("machine", lambda image: check_machine(image, machine)),
            ("exports", check_exports),
            ("imports", check_imports),
            ("type library syskind", lambda image: check_syskind(image, syskind)),
            ("version", lambda image: check_version(image, args.version)),
        ]),
        (args.probe, program_checks(args.probe_version)),
        (args.cli, program_checks(args.version)),
    ]
    results = []
    for path, checks in files:
        file_name = os.path.basename(path)
        for check, failure in run_checks(path, checks):
            print("%s %s %s%s" % ("FAIL" if failure else "ok  ", file_name, check,
                                  ": " + failure if failure else ""))
            results.append((file_name, check, failure))
    if args.xml:
        write_xml(args.xml, results)
    failed = sum(1 for _, _, failure in results if failure)
    print("pe_check %s: %d checks, %d failed" % (args.arch, len(results), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
