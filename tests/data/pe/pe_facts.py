"""Prints what an independent PE reader (pefile) finds in an executable, one "key value" per
line: the file version (or "none") and the file offsets of the structures a version lookup
walks, so tests can damage exactly those bytes."""
import sys

import pefile

pe = pefile.PE(sys.argv[1])
if hasattr(pe, "VS_FIXEDFILEINFO"):
    f = pe.VS_FIXEDFILEINFO[0]
    print("version %d.%d.%d.%d" % (f.FileVersionMS >> 16, f.FileVersionMS & 0xFFFF,
                                   f.FileVersionLS >> 16, f.FileVersionLS & 0xFFFF))
else:
    print("version none")
print("pe_header", pe.DOS_HEADER.e_lfanew)
print("section_count", pe.FILE_HEADER.get_field_absolute_offset("NumberOfSections"))
for s in pe.sections:
    if s.Name.rstrip(b"\0") == b".rsrc":
        print("rsrc_raw_pointer", s.get_field_absolute_offset("PointerToRawData"))
res = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
if res is not None:
    print("root_directory", res.struct.get_file_offset())
    for entry in res.entries:
        if entry.id == 16:
            print("version_type_entry", entry.struct.get_file_offset())
            name = entry.directory.entries[0]
            lang = name.directory.entries[0]
            print("version_language_entry", lang.struct.get_file_offset())
            print("version_data_entry", lang.data.struct.get_file_offset())
            block = pe.get_offset_from_rva(lang.data.struct.OffsetToData)
            print("version_block", block)
            print("version_block_end", block + lang.data.struct.Size)
            print("fixed_info", pe.VS_FIXEDFILEINFO[0].get_file_offset())
