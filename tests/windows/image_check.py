#!/usr/bin/python3
"""Reads the driver image ostdfu.sys from outside, with pefile (Debian's python3-pefile), and
holds it to what a Windows x64 kernel driver must be: one check per invocation, named on the
command line, so each is a test of its own.

  image_check.py CHECK --image ostdfu.sys [--map ostdfu.map] [--inf ostdfu.inf]
                 [--mc OstDfuEvents.mc] [--imports allowed_imports.txt]
                 [--kmdf wdffuncenum.h] [--sources DIR] [--objdump x86_64-w64-mingw32-objdump]

Exit status 0 when the check holds, 1 with every finding on stderr when it does not.
"""
import argparse
import re
import struct
import subprocess
import sys
from pathlib import Path

import pefile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS = 0x20B
SUBSYSTEM_NATIVE = 1
FILE_RELOCS_STRIPPED = 0x0001
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_LARGE_ADDRESS_AWARE = 0x0020
FILE_DLL = 0x2000
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
RT_MESSAGETABLE = 11
RT_VERSION = 16
LANG_EN_US = 0x409
BIND_INFO_SIZE = 48
# The framework's function table had this many entries in version 1.9 (its wdffuncenum.h).
KMDF_1_9_FUNCTION_COUNT = 396
DRIVER_LOGIC = ("context", "driver", "usb", "dfu", "control", "notify")


class Findings:
    def __init__(self):
        self.items = []

    def expect(self, condition, text):
        if not condition:
            self.items.append(text)


def check_headers(pe, _args, out):
    out.expect(pe.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_AMD64,
               f"machine 0x{pe.FILE_HEADER.Machine:04x}, not AMD64")
    out.expect(pe.OPTIONAL_HEADER.Magic == PE32_PLUS, "not PE32+")
    out.expect(pe.OPTIONAL_HEADER.Subsystem == SUBSYSTEM_NATIVE,
               f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not native")
    flags = pe.FILE_HEADER.Characteristics
    out.expect(flags & FILE_EXECUTABLE_IMAGE, "not marked executable")
    out.expect(flags & FILE_LARGE_ADDRESS_AWARE, "not large-address aware")
    out.expect(not flags & FILE_RELOCS_STRIPPED, "relocations marked stripped")
    out.expect(not flags & FILE_DLL, "marked as a DLL")
    dll = pe.OPTIONAL_HEADER.DllCharacteristics
    out.expect(dll & DLL_DYNAMIC_BASE, "not dynamic-base")
    out.expect(dll & DLL_NX_COMPAT, "not NX-compatible")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    out.expect(relocations.Size > 0, "no base relocations")
    out.expect(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
               f"checksum 0x{pe.OPTIONAL_HEADER.CheckSum:x}, the file's is 0x{pe.generate_checksum():x}")


def check_sections(pe, _args, out):
    names = []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        names.append(name)
        rights = section.Characteristics
        out.expect(not (rights & SCN_MEM_EXECUTE and rights & SCN_MEM_WRITE),
                   f"section {name} is both writable and executable")
        out.expect(not name.startswith(".debug"), f"section {name}: debug information shipped")
        if rights & SCN_MEM_EXECUTE:
            out.expect(name == ".text", f"section {name} is executable")
    for needed in (".text", ".reloc", ".rsrc"):
        out.expect(needed in names, f"no {needed} section")


def read_allowed_imports(path):
    allowed = {}
    for line in Path(path).read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            module, function = line.split()
            allowed.setdefault(module.lower(), set()).add(function)
    return allowed


def check_imports(pe, args, out):
    allowed = read_allowed_imports(args.imports)
    modules = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    out.expect(modules, "no imports")
    for module in modules:
        name = module.dll.decode().lower()
        if name not in allowed:
            out.expect(False, f"imports from {module.dll.decode()}")
            continue
        for function in module.imports:
            if function.name is None:
                out.expect(False, f"{name} ordinal {function.ordinal} imported by number")
            else:
                text = function.name.decode()
                out.expect(text in allowed[name], f"{name} {text} is not on the allow-list")
    out.expect(not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"), "the image exports functions")


def map_symbol(map_path, symbol):
    for line in Path(map_path).read_text().splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[1] == symbol and fields[0].startswith("0x"):
            return int(fields[0], 16)
    return None


def check_entry(pe, args, out):
    address = map_symbol(args.map, "FxDriverEntry")
    out.expect(address is not None, "FxDriverEntry is not in the link map")
    if address is not None:
        rva = address - pe.OPTIONAL_HEADER.ImageBase
        out.expect(pe.OPTIONAL_HEADER.AddressOfEntryPoint == rva,
                   f"entry point 0x{pe.OPTIONAL_HEADER.AddressOfEntryPoint:x}, FxDriverEntry at 0x{rva:x}")
    # Static constructors need a run-time library that calls them; a kernel image has none.
    text = Path(args.map).read_text()
    constructors = re.findall(r"^ \.(?:ctors|ctor|init_array|CRT\$X[CI])\S*\s+0x[0-9a-f]+\s+0x[0-9a-f]+\s+(\S+)",
                              text, re.MULTILINE)
    out.expect(not constructors, "static constructors in " + ", ".join(sorted(set(constructors))))


def resource_data(pe, type_id, name_id, language):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in resources.entries if resources else []:
        if entry.id != type_id:
            continue
        for name in entry.directory.entries:
            if name.id != name_id:
                continue
            for lang in name.directory.entries:
                if lang.id == language:
                    data = lang.data.struct
                    return pe.get_data(data.OffsetToData, data.Size)
    return None


def parse_message_table(data):
    """MESSAGE_RESOURCE_DATA: a block count, blocks of (low ID, high ID, offset of the first
    entry), and per ID an entry of (length, flags: 1 for UTF-16, text)."""
    messages = {}
    (blocks,) = struct.unpack_from("<I", data, 0)
    for block in range(blocks):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            body = data[offset + 4:offset + length]
            text = body.decode("utf-16-le" if flags & 1 else "latin-1").rstrip("\0")
            messages[message_id] = text
            offset += length
    return messages


def read_mc_messages(path):
    """The messages of the .mc source: ID = severity << 30 | facility << 16 | message ID."""
    text = Path(path).read_text().replace("\r\n", "\n")
    severities = {name: int(value, 16) for name, value in
                  re.findall(r"(\w+)=(0x[0-9A-Fa-f]+):STATUS_SEVERITY", text)}
    facilities = {name: int(value, 16) for name, value in
                  re.findall(r"(\w+)=(0x[0-9A-Fa-f]+):FACILITY", text)}
    messages = {}
    for block in re.finditer(r"MessageId=(\S+)\n(.*?)Language=\w+\n(.*?)\n\.\n", text, re.DOTALL):
        header = dict(re.findall(r"(\w+)=(\S+)", block.group(2)))
        message_id = (severities[header["Severity"]] << 30 | facilities[header["Facility"]] << 16
                      | int(block.group(1), 0))
        messages[message_id] = block.group(3).replace("\n", "\r\n") + "\r\n"
    return messages


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def inf_lines(path):
    return Path(path).read_text(encoding="ascii").replace("\r\n", "\n").splitlines()


def inf_value(lines, key):
    for line in lines:
        match = re.match(rf"\s*{key}\s*=\s*(.*?)\s*(;.*)?$", line)
        if match:
            return match.group(1)
    return None


def check_resources(pe, args, out):
    data = resource_data(pe, RT_MESSAGETABLE, 1, LANG_EN_US)
    out.expect(data is not None, "no message table (type 11, name 1, language 0x409)")
    if data is not None:
        found = parse_message_table(data)
        wanted = read_mc_messages(args.mc)
        out.expect(len(wanted) == 3, f"the .mc source holds {len(wanted)} messages, not three")
        for message_id, text in wanted.items():
            out.expect(found.get(message_id) == text,
                       f"message 0x{message_id:08x}: {found.get(message_id)!r}, the source says {text!r}")
        out.expect(set(found) == set(wanted), f"messages {sorted(found)}, the source has {sorted(wanted)}")
    version = re.search(r"(\d+\.\d+\.\d+\.\d+)", inf_value(inf_lines(args.inf), "DriverVer") or "")
    strings = version_strings(pe)
    out.expect(version and strings.get("FileVersion") == version.group(1),
               f"file version {strings.get('FileVersion')}, the INF's DriverVer says {version and version.group(1)}")


def bind_version(pe):
    """The framework version the entry stub binds: its WDF_BIND_INFO (size 48, the component
    "KmdfLibrary", major, minor, build, the function count), found through the component's text."""
    image = pe.get_memory_mapped_image()
    base = pe.OPTIONAL_HEADER.ImageBase
    component = "KmdfLibrary\0".encode("utf-16-le")
    text_rva = image.find(component)
    if text_rva < 0:
        return None
    pattern = struct.pack("<I4xQ", BIND_INFO_SIZE, base + text_rva)
    at = image.find(pattern)
    if at < 0:
        return None
    return struct.unpack_from("<IIII", image, at + 16)


def check_inf(pe, args, out):
    lines = inf_lines(args.inf)
    binary = inf_value(lines, "ServiceBinary") or ""
    out.expect(binary.lower().endswith("\\" + Path(args.image).name.lower()),
               f"ServiceBinary {binary!r} does not name {Path(args.image).name}")
    out.expect(version_strings(pe).get("OriginalFilename", "").lower() == Path(args.image).name.lower(),
               "the version resource's OriginalFilename is not the image's name")
    bound = bind_version(pe)
    out.expect(bound is not None, "no framework bind record in the image")
    library = inf_value(lines, "KmdfLibraryVersion")
    if bound is not None:
        major, minor, _build, functions = bound
        out.expect(library == f"{major}.{minor}",
                   f"the INF's KmdfLibraryVersion is {library}, the image binds {major}.{minor}")
        out.expect(functions > KMDF_1_9_FUNCTION_COUNT, f"the image binds {functions} functions")


def framework_calls(sources):
    calls = set()
    for folder in DRIVER_LOGIC:
        for source in sorted((Path(sources) / folder).glob("*.[ch]*")):
            calls.update(re.findall(r"\b(Wdf[A-Z]\w*)\s*\(", source.read_text()))
    return calls


def check_framework_version(_pe, args, out):
    indexes = {name: int(index) for name, index in
               re.findall(r"(\w+)TableIndex\s*=\s*(\d+)", Path(args.kmdf).read_text())}
    calls = sorted(name for name in framework_calls(args.sources) if name in indexes)
    out.expect(calls, "no framework calls found in the driver logic")
    for name in calls:
        out.expect(indexes[name] < KMDF_1_9_FUNCTION_COUNT,
                   f"{name} is function {indexes[name]}, which framework 1.9 does not have")
    print(f"{len(calls)} framework functions, the highest index "
          f"{max((indexes[n] for n in calls), default=0)}, below 1.9's {KMDF_1_9_FUNCTION_COUNT}")


# What only kernel mode may reach, as the disassembler spells it: the shared user data page
# (KUSER_SHARED_DATA, which the kernel's inline tick and time queries read), the interrupt
# level register CR8 (KeGetCurrentIrql and friends inline) and the other control registers,
# the processor block through GS, and the privileged instructions. An image that reached any of
# them would fault in the emulated machine, which runs it in user mode.
KERNEL_ONLY = [
    (re.compile(r"0xfffff78000[0-9a-f]{6}\b"), "the shared user data page (KUSER_SHARED_DATA)"),
    (re.compile(r"%cr[0-8]\b"), "a control register"),
    (re.compile(r"%gs:"), "the processor block through GS"),
    (re.compile(r"\t(cli|sti|hlt|rdmsr|wrmsr|invlpg|lgdt|lidt|swapgs|in|out|ins[bwl]?|outs[bwl]?)\b"),
     "a privileged instruction"),
]


def check_kernel_only(_pe, args, out):
    listing = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", args.image],
                             check=True, capture_output=True, text=True).stdout
    function = "?"
    for line in listing.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if header:
            function = header.group(1)
            continue
        for pattern, what in KERNEL_ONLY:
            if pattern.search(line):
                out.expect(False, f"{function} reaches {what}: {line.strip()}")


CHECKS = {
    "headers": check_headers,
    "sections": check_sections,
    "imports": check_imports,
    "entry": check_entry,
    "resources": check_resources,
    "inf": check_inf,
    "framework_version": check_framework_version,
    "kernel_only": check_kernel_only,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--image", required=True)
    for option in ("map", "inf", "mc", "imports", "kmdf", "sources", "objdump"):
        parser.add_argument(f"--{option}")
    args = parser.parse_args()
    findings = Findings()
    pe = pefile.PE(args.image, fast_load=False)
    CHECKS[args.check](pe, args, findings)
    for item in findings.items:
        print(f"{args.image}: {item}", file=sys.stderr)
    return 1 if findings.items else 0


if __name__ == "__main__":
    sys.exit(main())
