"""What teamid.exe must be made of: format, imports and resources.

problems(path) lists every way the file falls short; an empty list means it
is right.
"""

import struct
import zlib

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_GROUPS = {
    110: [16, 24, 32, 48, 64, 128, 256],
    111: [256, 128, 64, 48, 40],
}
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def resources(pe):
    """{type id: {resource id: data}}, first language of each."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            lang = entry.directory.entries[0]
            data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            found.setdefault(kind.id, {})[entry.id] = data
    return found


def png_image(data):
    """(width, height, alphas) of an 8-bit RGBA PNG; None for another kind."""
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    if data[12:16] != b"IHDR" or depth != 8 or colour != 6:
        return None
    idat = b""
    pos = 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            upleft = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - upleft
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upleft)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else upleft
                line[i] = (line[i] + pred) & 0xFF
        rows.append(line)
        previous = line
    return width, height, [row[i] for row in rows for i in range(3, stride, 4)]


def bitmap_image(data):
    """(width, height, alphas) of a 32-bit DIB with its AND mask; None for
    another kind or a wrong size."""
    size, width, height, planes, bits = struct.unpack("<IiiHH", data[:16])
    if size != 40 or bits != 32 or height != 2 * width:
        return None
    mask_stride = (width + 31) // 32 * 4
    pixels = data[40:40 + width * width * 4]
    if len(data) != 40 + width * width * 4 + mask_stride * width:
        return None
    return width, width, list(pixels[3::4])


def icon_problems(group_id, sizes, group, icons):
    reserved, kind, count = struct.unpack_from("<HHH", group)
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    listed = [entry[0] or 256 for entry in entries]
    if listed != sizes:
        return ["group %d holds sizes %s, not %s" % (group_id, listed, sizes)]
    problems = []
    for entry, size in zip(entries, sizes):
        bits, icon_id = entry[5], entry[7]
        where = "group %d, %d pixels" % (group_id, size)
        data = icons.get(icon_id)
        if data is None:
            problems.append(where + ": no image")
            continue
        is_png = data.startswith(PNG_SIGNATURE)
        if is_png != (size == 256):
            problems.append(where + (": PNG" if is_png else ": bitmap"))
        image = png_image(data) if is_png else bitmap_image(data)
        if bits != 32 or image is None:
            problems.append(where + ": not 32 bits per pixel")
            continue
        width, height, alphas = image
        if (width, height) != (size, size):
            problems.append(where + ": image is %dx%d" % (width, height))
        if min(alphas) != 0 or max(alphas) != 255:
            problems.append(where + ": no real alpha channel")
    return problems


def problems(path):
    pe = pefile.PE(path)
    found = []
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        found.append("not x86-64")
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        found.append("not PE32+")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]:
        found.append("not a console program")
    dlls = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    if not dlls <= SYSTEM_DLLS:
        found.append("imports %s" % sorted(dlls - SYSTEM_DLLS))
    res = resources(pe)
    if RT_VERSION in res:
        found.append("has a version block")
    if RT_MANIFEST in res:
        found.append("has a manifest")
    groups = res.get(RT_GROUP_ICON, {})
    if sorted(groups) != sorted(ICON_GROUPS):
        found.append("icon groups %s, not %s" % (sorted(groups), sorted(ICON_GROUPS)))
    for group_id, sizes in ICON_GROUPS.items():
        if group_id in groups:
            found += icon_problems(group_id, sizes, groups[group_id], res.get(RT_ICON, {}))
    return found
