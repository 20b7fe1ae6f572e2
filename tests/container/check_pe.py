#!/usr/bin/python3
"""Independent PE checks for the container tests, with python3-pefile.

  check_pe.py dump FILE...             one JSON object per file: what the header readers see
  check_pe.py section ORIGINAL OUTPUT  OUTPUT is ORIGINAL with a .ZTBNDL last section written by
                                       ztpack: sections in order, the original ones unchanged,
                                       the new one laid out for the installer, checksum right

Exit status 0 when every check passed; failures are printed one per line.
"""
import json
import sys

import pefile

SECTION = b".ZTBNDL\0"


def dump(paths):
    for path in paths:
        pe = pefile.PE(path, fast_load=True)
        last = pe.sections[-1] if pe.sections else None
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        print(json.dumps({
            "path": path,
            "machine": pe.FILE_HEADER.Machine,
            "sections": len(pe.sections),
            "last_end": (last.PointerToRawData + last.SizeOfRawData) if last else -1,
            "size_of_image": pe.OPTIONAL_HEADER.SizeOfImage,
            "certificate_size": security.Size,
            "first_raw": pe.sections[0].PointerToRawData if pe.sections else -1,
            "lfanew": pe.DOS_HEADER.e_lfanew,
            "optional_size": pe.FILE_HEADER.SizeOfOptionalHeader,
            "last_name": last.Name.rstrip(b"\0").decode("latin-1") if last else "",
        }))
    return 0


def check_section(original_path, output_path):
    failures = []
    before = pefile.PE(original_path, fast_load=True)
    after = pefile.PE(output_path, fast_load=True)
    old = list(before.sections)
    if old and old[-1].Name == SECTION:
        old = old[:-1]  # a .ZTBNDL at the end is replaced, not doubled
    new = list(after.sections)
    if len(new) != len(old) + 1:
        failures.append("expected %d sections, found %d" % (len(old) + 1, len(new)))
    if after.FILE_HEADER.NumberOfSections != len(new):
        failures.append("NumberOfSections %d" % after.FILE_HEADER.NumberOfSections)
    for a, b in zip(old, new):
        for field in ("Name", "VirtualAddress", "Misc_VirtualSize", "PointerToRawData",
                      "SizeOfRawData", "Characteristics"):
            if getattr(a, field) != getattr(b, field):
                failures.append("section %r: %s changed" % (a.Name, field))
        if a.get_data() != b.get_data():
            failures.append("section %r: data changed" % a.Name)
    last = new[-1]
    if last.Name != SECTION:
        failures.append("last section is %r" % last.Name)
    if [s.Name for s in new].count(SECTION) != 1:
        failures.append(".ZTBNDL appears more than once")
    if last.VirtualAddress != last.PointerToRawData:
        failures.append("virtual address 0x%x != file offset 0x%x"
                        % (last.VirtualAddress, last.PointerToRawData))
    if last.Misc_VirtualSize != last.SizeOfRawData:
        failures.append("virtual size 0x%x != raw size 0x%x"
                        % (last.Misc_VirtualSize, last.SizeOfRawData))
    end = last.PointerToRawData + last.SizeOfRawData
    if after.OPTIONAL_HEADER.SizeOfImage != end:
        failures.append("SizeOfImage 0x%x != section end 0x%x"
                        % (after.OPTIONAL_HEADER.SizeOfImage, end))
    if len(after.__data__) != end:
        failures.append("file length 0x%x != section end 0x%x" % (len(after.__data__), end))
    align = after.OPTIONAL_HEADER.SectionAlignment
    if last.VirtualAddress % align or last.PointerToRawData % after.OPTIONAL_HEADER.FileAlignment:
        failures.append("section start 0x%x not aligned" % last.VirtualAddress)
    if last.SizeOfRawData % after.OPTIONAL_HEADER.FileAlignment:
        failures.append("raw size 0x%x not a multiple of the file alignment" % last.SizeOfRawData)
    for s in new[:-1]:
        s_end = s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)
        if s_end > last.VirtualAddress:
            failures.append("section %r overlaps the new one in memory" % s.Name)
        if s.SizeOfRawData and s.PointerToRawData + s.SizeOfRawData > last.PointerToRawData:
            failures.append("section %r overlaps the new one in the file" % s.Name)
    if after.OPTIONAL_HEADER.CheckSum != after.generate_checksum():
        failures.append("CheckSum 0x%x, computed 0x%x"
                        % (after.OPTIONAL_HEADER.CheckSum, after.generate_checksum()))
    if before.FILE_HEADER.PointerToSymbolTable != after.FILE_HEADER.PointerToSymbolTable:
        failures.append("PointerToSymbolTable moved")
    for f in failures:
        print("%s: %s" % (output_path, f))
    return 1 if failures else 0


def main(argv):
    if len(argv) >= 2 and argv[1] == "dump":
        return dump(argv[2:])
    if len(argv) == 4 and argv[1] == "section":
        return check_section(argv[2], argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
