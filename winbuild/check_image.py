#!/usr/bin/env python3
"""Checks that a linked .sys is a loadable x64 kernel driver image and that a generated INF is consistent."""

import argparse
import struct
import sys

# Modules a WDM smart card reader driver may bind to; anything else (msvcrt.dll, a user-mode DLL,
# libstdc++) cannot be resolved by the kernel loader and the driver would fail to load.
ALLOWED_IMPORT_MODULES = ("ntoskrnl.exe", "HAL.dll", "USBD.SYS", "SMCLIB.SYS")

# Routines that only exist to run C/C++ start-up or tear-down code; a kernel image has neither.
RUNTIME_START_UP_IMPORTS = ("__main", "__do_global_ctors", "__do_global_dtors", "atexit", "_onexit",
                            "__cxa_atexit", "__cxa_guard_acquire", "__cxa_guard_release",
                            "__gxx_personality_seh0", "_Unwind_Resume")

# Section names under which compilers collect static initialisers or finalisers.
CONSTRUCTOR_SECTIONS = (".ctors", ".dtors", ".init_array", ".fini_array", ".init", ".fini", ".CRT")

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_NATIVE = 1
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

DIR_EXPORT, DIR_IMPORT, DIR_BASERELOC, DIR_TLS = 0, 1, 5, 9


class ImageError(Exception):
    """The file is not a PE image that the checks can read at all."""


class Section:
    def __init__(self, name, vsize, rva, raw_size, raw_ptr, flags):
        self.name, self.vsize, self.rva = name, vsize, rva
        self.raw_size, self.raw_ptr, self.flags = raw_size, raw_ptr, flags


class PeImage:
    """Just enough of a PE32+ reader for the driver checks: headers, sections, directories, COFF symbols."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise ImageError("no MZ header")
        self.pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        fh = self.pe_offset + 4
        (self.machine, nsections, self.timestamp, self.symtab_ptr, self.nsymbols,
         opt_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, fh)
        self.opt = fh + 20
        self.magic = struct.unpack_from("<H", data, self.opt)[0]
        if self.magic != PE32_PLUS_MAGIC:
            self.sections = []
            return
        self.entry_rva = struct.unpack_from("<I", data, self.opt + 16)[0]
        self.image_base = struct.unpack_from("<Q", data, self.opt + 24)[0]
        self.size_of_image = struct.unpack_from("<I", data, self.opt + 56)[0]
        self.checksum_offset = self.opt + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, self.opt + 68)
        ndirs = struct.unpack_from("<I", data, self.opt + 108)[0]
        self.directories = [struct.unpack_from("<II", data, self.opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        sh = self.opt + opt_size
        for i in range(nsections):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, sh + 40 * i)
            self.sections.append(Section(self._section_name(raw[0]), raw[1], raw[2], raw[3], raw[4], raw[9]))
        self.symbols = self._read_symbols()

    def _string_table_entry(self, offset):
        base = self.symtab_ptr + 18 * self.nsymbols
        end = self.data.index(b"\0", base + offset)
        return self.data[base + offset:end].decode("latin-1")

    def _section_name(self, raw):
        name = raw.rstrip(b"\0").decode("latin-1")
        # Long section names are kept in the COFF string table as "/offset".
        if name.startswith("/") and name[1:].isdigit() and self.symtab_ptr:
            return self._string_table_entry(int(name[1:]))
        return name

    def _read_symbols(self):
        """COFF symbols by name, mapped to their RVA (ld keeps the table in the image unless stripped)."""
        symbols = {}
        if not self.symtab_ptr or not self.nsymbols:
            return symbols
        i = 0
        while i < self.nsymbols:
            off = self.symtab_ptr + 18 * i
            raw_name, value, section, _type, _cls, naux = struct.unpack_from("<8sIhHBB", self.data, off)
            if raw_name[:4] == b"\0\0\0\0":
                name = self._string_table_entry(struct.unpack_from("<I", raw_name, 4)[0])
            else:
                name = raw_name.rstrip(b"\0").decode("latin-1")
            if 0 < section <= len(self.sections):
                symbols.setdefault(name, self.sections[section - 1].rva + value)
            i += 1 + naux
        return symbols

    def rva_to_offset(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.vsize, s.raw_size):
                if rva - s.rva >= s.raw_size:
                    return None  # uninitialised data
                return s.raw_ptr + rva - s.rva
        return None

    def read(self, rva, size):
        off = self.rva_to_offset(rva)
        if off is None:
            raise ImageError("RVA 0x%x is not backed by file data" % rva)
        return self.data[off:off + size]

    def c_string(self, rva):
        off = self.rva_to_offset(rva)
        if off is None:
            raise ImageError("string RVA 0x%x is not backed by file data" % rva)
        return self.data[off:self.data.index(b"\0", off)].decode("latin-1")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imports(self):
        """[(module, [function or #ordinal, ...]), ...] in import-table order."""
        rva, size = self.directory(DIR_IMPORT)
        result = []
        if not rva or not size:
            return result
        pos = rva
        while True:
            ilt, _ts, _fwd, name_rva, iat = struct.unpack("<IIIII", self.read(pos, 20))
            if not name_rva:
                break
            functions = []
            thunk = ilt or iat
            while True:
                entry = struct.unpack("<Q", self.read(thunk, 8))[0]
                if not entry:
                    break
                if entry & (1 << 63):
                    functions.append("#%d" % (entry & 0xFFFF))
                else:
                    functions.append(self.c_string((entry & 0x7FFFFFFF) + 2))
                thunk += 8
            result.append((self.c_string(name_rva), functions))
            pos += 20
        return result

    def exports(self):
        rva, size = self.directory(DIR_EXPORT)
        if not rva or not size:
            return []
        nfunctions, nnames, _functions_rva, names_rva = struct.unpack("<IIII", self.read(rva + 20, 16))
        names = [self.c_string(struct.unpack("<I", self.read(names_rva + 4 * i, 4))[0]) for i in range(nnames)]
        return names + ["#unnamed"] * max(0, nfunctions - nnames)

    def base_relocation_count(self):
        rva, size = self.directory(DIR_BASERELOC)
        count, pos = 0, rva
        while rva and pos < rva + size:
            _page, block = struct.unpack("<II", self.read(pos, 8))
            if block < 8:
                raise ImageError("malformed base relocation block")
            entries = struct.unpack("<%dH" % ((block - 8) // 2), self.read(pos + 8, block - 8))
            count += sum(1 for e in entries if e >> 12)  # type 0 entries only pad a block
            pos += block
        return count


def pe_checksum(data, checksum_offset):
    """The optional-header checksum as the Windows loader computes it (16-bit folded sum plus file length)."""
    padded = data + b"\0" * (len(data) % 2)
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    total = sum(words) - sum(struct.unpack_from("<HH", data, checksum_offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


class Report:
    def __init__(self):
        self.failures = 0

    def check(self, label, ok, detail):
        print("  %-14s %s  %s" % (label, "ok  " if ok else "FAIL", detail))
        if not ok:
            self.failures += 1


def check_image(path, entry_symbol):
    with open(path, "rb") as f:
        data = f.read()
    print("%s:" % path)
    report = Report()
    try:
        image = PeImage(data)
    except (ImageError, struct.error, ValueError) as e:
        report.check("format", False, "not a PE image: %s" % e)
        return report.failures

    is_amd64 = image.machine == IMAGE_FILE_MACHINE_AMD64 and image.magic == PE32_PLUS_MAGIC
    report.check("format", is_amd64, "machine 0x%04x, optional header magic 0x%03x (want 0x8664, PE32+ 0x20b)"
                 % (image.machine, image.magic))
    if not is_amd64:
        return report.failures

    chars = image.characteristics
    report.check("kind", chars & IMAGE_FILE_EXECUTABLE_IMAGE and not chars & IMAGE_FILE_DLL,
                 "file characteristics 0x%04x (want an executable image, not a DLL)" % chars)
    report.check("subsystem", image.subsystem == SUBSYSTEM_NATIVE,
                 "subsystem %d (want 1, native)" % image.subsystem)

    entry_rva = image.symbols.get(entry_symbol)
    if entry_rva is None:
        report.check("entry", False, "entry RVA 0x%x; symbol %s not in the image's symbol table"
                     % (image.entry_rva, entry_symbol))
    else:
        report.check("entry", image.entry_rva == entry_rva, "entry RVA 0x%x, %s at 0x%x"
                     % (image.entry_rva, entry_symbol, entry_rva))

    try:
        imports = image.imports()
    except (ImageError, struct.error, ValueError) as e:
        report.check("imports", False, "unreadable import table: %s" % e)
        imports = []
    allowed = {m.lower() for m in ALLOWED_IMPORT_MODULES}
    foreign = [m for m, _ in imports if m.lower() not in allowed]
    report.check("imports", not foreign,
                 "from %s" % (", ".join(m for m, _ in imports) or "nothing") +
                 ("; not allowed: %s" % ", ".join(foreign) if foreign else ""))

    try:
        exports = image.exports()
    except (ImageError, struct.error, ValueError) as e:
        exports = ["unreadable export table: %s" % e]
    report.check("exports", not exports, "none" if not exports else ", ".join(exports))

    ctor_sections = [s.name for s in image.sections
                     if any(s.name == n or s.name.startswith(n + ".") or s.name.startswith(n + "$")
                            for n in CONSTRUCTOR_SECTIONS) and s.vsize]
    start_up_imports = [f for _, fs in imports for f in fs if f in RUNTIME_START_UP_IMPORTS]
    initialisers = sorted(n for n in image.symbols if n.startswith(("_GLOBAL__sub_I_", "_GLOBAL__I_")))
    ctor_list = []
    if not image.symbols:
        problem = "image has no symbol table, the constructor list cannot be read"
    else:
        # The PE link script gathers static constructor pointers between a -1 and a 0 sentinel.
        for list_name in ("__CTOR_LIST__", "__DTOR_LIST__"):
            rva = image.symbols.get(list_name)
            if rva is None:
                continue
            head, first = struct.unpack("<qq", image.read(rva, 16))
            if head != -1 or first != 0:
                ctor_list.append(list_name)
        problems = []
        if ctor_sections:
            problems.append("sections " + ", ".join(ctor_sections))
        if start_up_imports:
            problems.append("imports " + ", ".join(start_up_imports))
        if initialisers:
            problems.append("initialisers " + ", ".join(initialisers))
        if ctor_list:
            problems.append("non-empty " + ", ".join(ctor_list))
        problem = "; ".join(problems)
    report.check("constructors", not problem, problem or "no static constructors or destructors")

    tls_rva, tls_size = image.directory(DIR_TLS)
    report.check("tls", not tls_rva and not tls_size, "no TLS directory" if not tls_size
                 else "TLS directory present; the kernel loader does not support thread-local data")

    rwx = [s.name for s in image.sections if s.flags & SCN_MEM_EXECUTE and s.flags & SCN_MEM_WRITE]
    report.check("sections", not rwx, ", ".join("%s %s" % (s.name, _rwx(s.flags)) for s in image.sections) +
                 ("; writable and executable: %s" % ", ".join(rwx) if rwx else ""))

    try:
        relocations = image.base_relocation_count()
        reloc_error = ""
    except (ImageError, struct.error) as e:
        relocations, reloc_error = 0, str(e)
    relocatable = not (chars & IMAGE_FILE_RELOCS_STRIPPED) and not reloc_error
    report.check("relocatable", relocatable, "%d base relocations%s" % (relocations, reloc_error and ", " + reloc_error)
                 + ("; relocations stripped" if chars & IMAGE_FILE_RELOCS_STRIPPED else ""))
    want_dll = DLLCHAR_DYNAMIC_BASE | DLLCHAR_NX_COMPAT
    report.check("dll-flags", image.dll_characteristics & want_dll == want_dll,
                 "DllCharacteristics 0x%04x (want DYNAMIC_BASE and NX_COMPAT)" % image.dll_characteristics)

    expected = pe_checksum(data, image.checksum_offset)
    report.check("checksum", image.checksum == expected, "0x%08x (computed 0x%08x)" % (image.checksum, expected))

    print("  image size     %d bytes in memory (SizeOfImage), %d bytes on disk, image base 0x%x"
          % (image.size_of_image, len(data), image.image_base))
    print("  import list:")
    for module, functions in imports:
        print("    %s (%d): %s" % (module, len(functions), " ".join(sorted(functions))))
    print("  %s" % ("all checks passed" if not report.failures else "%d check(s) FAILED" % report.failures))
    return report.failures


def _rwx(flags):
    return "r" + ("w" if flags & SCN_MEM_WRITE else "-") + ("x" if flags & SCN_MEM_EXECUTE else "-")


def parse_inf(text):
    """Sections of an INF as {lower-case name: [lines]}, comments and blank lines dropped."""
    sections, current = {}, None
    for raw in text.splitlines():
        line = _strip_inf_comment(raw).strip()
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1].strip().lower()
            sections.setdefault(current, [])
        elif current is not None:
            sections[current].append(line)
    return sections


def _strip_inf_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def inf_values(lines, key):
    return [l.split("=", 1)[1].strip() for l in lines if "=" in l and l.split("=", 1)[0].strip().lower() == key]


def check_inf(path, driver_file, class_guid):
    print("%s:" % path)
    report = Report()
    with open(path, encoding="ascii") as f:
        text = f.read()
    report.check("placeholders", "@" not in text, "every build setting substituted" if "@" not in text
                 else "unsubstituted @...@ left")
    sections = parse_inf(text)
    version = sections.get("version", [])
    report.check("class", inf_values(version, "classguid") == [class_guid]
                 and [v.lower() for v in inf_values(version, "class")] == ["smartcardreader"],
                 "Class %s, ClassGuid %s" % (_join(inf_values(version, "class")), _join(inf_values(version, "classguid"))))

    missing = []
    hardware_ids = []
    install_sections = []
    for mfg in sections.get("manufacturer", []):
        parts = [p.strip() for p in mfg.split("=", 1)[1].split(",")]
        # 64-bit Windows reads only a models section decorated for its architecture.
        models = ["%s.%s" % (parts[0], d) for d in parts[1:]] or [parts[0]]
        if not any(m.lower().endswith(".ntamd64") for m in models):
            missing.append("%s.NTamd64 (models for x64)" % parts[0])
        for m in models:
            if m.lower() not in sections:
                missing.append(m)
                continue
            for model in sections[m.lower()]:
                fields = [p.strip() for p in model.split("=", 1)[1].split(",")]
                install_sections.append(fields[0])
                hardware_ids += fields[1:]
    bad_ids = [h for h in hardware_ids if not _is_usb_hardware_id(h)]
    report.check("hardware-ids", hardware_ids and not bad_ids, ", ".join(hardware_ids) or "none")

    binaries = []
    for install in install_sections:
        for decorated in (install + ".nt", install + ".ntamd64", install):
            if decorated.lower() in sections:
                for copy in inf_values(sections[decorated.lower()], "copyfiles"):
                    missing += [c for c in copy.split(",") if c.strip().lower() not in sections]
                break
        else:
            missing.append(install)
        services = next((sections[s.lower()] for s in (install + ".nt.services", install + ".ntamd64.services")
                         if s.lower() in sections), None)
        if services is None:
            missing.append(install + ".NT.Services")
            continue
        for service in inf_values(services, "addservice"):
            fields = [p.strip() for p in service.split(",")]
            body = sections.get(fields[2].lower()) if len(fields) > 2 else None
            if body is None:
                missing.append(fields[2] if len(fields) > 2 else "service install section of " + fields[0])
                continue
            report.check("service", inf_values(body, "servicetype") == ["1"] and inf_values(body, "starttype") == ["3"],
                         "%s: ServiceType %s (want 1, kernel driver), StartType %s (want 3, demand)"
                         % (fields[0], _join(inf_values(body, "servicetype")), _join(inf_values(body, "starttype"))))
            binaries += inf_values(body, "servicebinary")
    report.check("binary", binaries == ["%%12%%\\%s" % driver_file], "ServiceBinary %s" % _join(binaries))
    report.check("sections", not missing, "all referenced sections present" if not missing
                 else "missing: " + ", ".join(missing))
    print("  %s" % ("all checks passed" if not report.failures else "%d check(s) FAILED" % report.failures))
    return report.failures


def _join(values):
    return ", ".join(values) or "none"


def _is_usb_hardware_id(hardware_id):
    parts = hardware_id.upper().split("\\", 1)
    if len(parts) != 2 or parts[0] != "USB":
        return False
    fields = parts[1].split("&")
    if len(fields) < 2 or not fields[0].startswith("VID_") or not fields[1].startswith("PID_"):
        return False
    return all(len(f) == 8 and all(c in "0123456789ABCDEF" for c in f[4:]) for f in fields[:2])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image", help="the linked .sys")
    parser.add_argument("--entry", default="DriverEntry", help="symbol the entry point must be")
    parser.add_argument("--inf", help="also check this generated INF")
    parser.add_argument("--class-guid", default="{50DD5230-BA8A-11D1-BF5D-0000F805F530}")
    args = parser.parse_args()
    failures = check_image(args.image, args.entry)
    if args.inf:
        failures += check_inf(args.inf, args.image.replace("\\", "/").rsplit("/", 1)[-1], args.class_guid)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
