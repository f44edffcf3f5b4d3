"""What a PE file (a Windows DLL or .pyd) and an ELF shared library export
and import, read straight from their tables: the cross build runs on a
machine whose own tools may not know the other format.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

# IMAGE_SCN_MEM_EXECUTE: an export outside such a section is data.
_EXECUTABLE = 0x20000000


@dataclass(frozen=True)
class Symbol:
    name: str
    data: bool  # an object rather than a function: DATA in a .def file


class PE:
    def __init__(self, data: bytes, label: str = "PE file") -> None:
        self.data, self.label = data, label
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header : header + 4] != b"PE\0\0":
            raise SystemExit(f"{label} is not a PE file")
        section_count, optional_size = struct.unpack_from("<H12xH", data, header + 6)
        optional = header + 24
        self.pe32_plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
        self.directories = optional + (112 if self.pe32_plus else 96)
        table = optional + optional_size
        # (virtual size, address, raw size, raw offset, characteristics)
        self.sections: list[tuple[int, int, int, int, int]] = [
            struct.unpack_from("<IIII12xI", data, table + 40 * i + 8) for i in range(section_count)]

    def _offset(self, rva: int) -> int:
        for virtual_size, address, raw_size, raw_offset, _ in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise SystemExit(f"{self.label}: address {rva:#x} is in no section")

    def _string(self, rva: int) -> str:
        start = self._offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode("ascii")

    def _directory(self, index: int) -> tuple[int, int]:
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def _executable(self, rva: int) -> bool:
        return any(address <= rva < address + max(virtual_size, raw_size) and flags & _EXECUTABLE
                   for virtual_size, address, raw_size, _, flags in self.sections)

    def exports(self) -> list[Symbol]:
        rva, size = self._directory(0)
        if size == 0:
            return []
        table = self._offset(rva)
        function_count, name_count, functions, names, ordinals = struct.unpack_from("<IIIII", self.data, table + 20)
        result = []
        for i in range(name_count):
            name = self._string(struct.unpack_from("<I", self.data, self._offset(names) + 4 * i)[0])
            ordinal = struct.unpack_from("<H", self.data, self._offset(ordinals) + 2 * i)[0]
            address = struct.unpack_from("<I", self.data, self._offset(functions) + 4 * ordinal)[0]
            # An address inside the export directory forwards to another DLL's
            # function.
            data = not (rva <= address < rva + size) and not self._executable(address)
            result.append(Symbol(name, data))
        return result

    def imports(self) -> dict[str, list[str]]:
        """Imported names by DLL, in the file's order; delay-loaded DLLs too."""
        result: dict[str, list[str]] = {}
        thunk_format, ordinal_flag = ("<Q", 1 << 63) if self.pe32_plus else ("<I", 1 << 31)
        thunk_size = struct.calcsize(thunk_format)
        # (directory, descriptor size, offset of the DLL name, offset of the name table)
        for index, size, name_at, thunks_at in ((1, 20, 12, 0), (13, 32, 4, 16)):
            rva, directory_size = self._directory(index)
            if directory_size == 0:
                continue
            descriptor = self._offset(rva)
            while any(self.data[descriptor : descriptor + size]):
                dll_name = self._string(struct.unpack_from("<I", self.data, descriptor + name_at)[0])
                thunks = struct.unpack_from("<I", self.data, descriptor + thunks_at)[0]
                if thunks == 0:  # no lookup table: the address table holds the names
                    thunks = struct.unpack_from("<I", self.data, descriptor + (16 if index == 1 else 12))[0]
                names = result.setdefault(dll_name, [])
                entry = self._offset(thunks)
                while (value := struct.unpack_from(thunk_format, self.data, entry)[0]) != 0:
                    # By ordinal, or the address of a hint (2 bytes) and a name.
                    by_ordinal = value & ordinal_flag
                    names.append(f"#{value & 0xFFFF}" if by_ordinal else self._string((value & 0x7FFFFFFF) + 2))
                    entry += thunk_size
                descriptor += size
        return result


def elf_exports(data: bytes, label: str = "ELF file") -> list[Symbol]:
    """The functions and objects a 64-bit little-endian ELF shared library
    defines for others: global or weak symbols of its dynamic table."""
    if data[:6] != b"\x7fELF\x02\x01":
        raise SystemExit(f"{label} is not a 64-bit little-endian ELF file")
    section_table, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count = struct.unpack_from("<HH", data, 0x3A)
    # (type, offset, size, link, entry size) of each section
    sections = [struct.unpack_from("<4xI16xQQI12xQ", data, section_table + entry_size * i) for i in range(count)]
    dynsym = next((s for s in sections if s[0] == 11), None)  # SHT_DYNSYM
    if dynsym is None:
        raise SystemExit(f"{label} has no dynamic symbol table")
    _, offset, size, link, symbol_size = dynsym
    strings = sections[link][1]
    result = []
    for at in range(offset + symbol_size, offset + size, symbol_size):  # entry 0 is the null symbol
        name_at, info, other, section = struct.unpack_from("<IBBH", data, at)
        binding, kind = info >> 4, info & 0xF
        # Defined, global or weak, default visibility, a function or an object.
        if section != 0 and binding in (1, 2) and other & 3 == 0 and kind in (1, 2):
            start = strings + name_at
            result.append(Symbol(data[start : data.index(b"\0", start)].decode("ascii"), kind == 1))
    return result
