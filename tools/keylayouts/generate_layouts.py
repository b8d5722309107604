#!/usr/bin/env python3
"""Generates the stand-in Mac's French and German keyboard-layout descriptions from
xkb-data's fr(mac) and de(mac) symbols through the installed libxkbcommon runtime, with dead
keys composed by ICU's NFC. The output is checked in; the build never runs this script.

usage: generate_layouts.py OUTPUT_DIR
"""
import ctypes
import ctypes.util
import glob
import os
import plistlib
import re
import sys

# xkb key names to the Mac's virtual key codes of the same positions.
POSITIONS = {}
for names, codes in (
    (["AE%02d" % i for i in range(1, 13)], [18, 19, 20, 21, 23, 22, 26, 28, 25, 29, 27, 24]),
    (["AD%02d" % i for i in range(1, 13)], [12, 13, 14, 15, 17, 16, 32, 34, 31, 35, 33, 30]),
    (["AC%02d" % i for i in range(1, 12)], [0, 1, 2, 3, 5, 4, 38, 40, 37, 41, 39]),
    (["AB%02d" % i for i in range(1, 11)], [6, 7, 8, 9, 11, 45, 46, 43, 47, 44]),
    (["TLDE", "BKSL", "LSGT", "SPCE"], [50, 42, 10, 49]),
):
    POSITIONS.update(zip(names, codes))

# Keys whose output does not depend on the national layout: as in the U.S. description.
FIXED = {36: "\r", 48: "\t", 51: "\b", 53: "\x1b", 76: "\x03", 117: "\x7f", 115: "\x01", 119: "\x04",
         116: "\x0b", 121: "\x0c", 114: "\x05", 123: "\x1c", 124: "\x1d", 125: "\x1f", 126: "\x1e",
         65: ".", 67: "*", 69: "+", 71: "\x1b", 75: "/", 78: "-", 81: "=", 91: "8", 92: "9"}
FIXED.update({82 + i: str(i) for i in range(8)})
FIXED.update({k: "\x10" for k in (122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111, 105, 107, 113, 106,
                                  64, 79, 80, 90)})

COMBINING = {"dead_acute": "\u0301", "dead_grave": "\u0300", "dead_circumflex": "\u0302",
             "dead_diaeresis": "\u0308", "dead_tilde": "\u0303", "dead_cedilla": "\u0327",
             "dead_caron": "\u030C", "dead_abovering": "\u030A", "dead_macron": "\u0304"}
SPACING = {"dead_acute": "\u00B4", "dead_grave": "`", "dead_circumflex": "^", "dead_diaeresis": "\u00A8",
           "dead_tilde": "~", "dead_cedilla": "\u00B8", "dead_caron": "\u02C7", "dead_abovering": "\u02DA",
           "dead_macron": "\u00AF"}
BASES = [chr(c) for c in range(ord("a"), ord("z") + 1)] + [chr(c) for c in range(ord("A"), ord("Z") + 1)]

LAYER_NAMES = ["none", "shift", "option", "shiftOption"]  # xkb levels 1 to 4


class Refusal(Exception):
    pass


class XkbRuleNames(ctypes.Structure):
    _fields_ = [(n, ctypes.c_char_p) for n in ("rules", "model", "layout", "variant", "options")]


def load_xkb():
    lib = ctypes.CDLL(ctypes.util.find_library("xkbcommon") or "libxkbcommon.so.0")
    lib.xkb_context_new.restype = ctypes.c_void_p
    lib.xkb_context_new.argtypes = [ctypes.c_int]
    lib.xkb_keymap_new_from_names.restype = ctypes.c_void_p
    lib.xkb_keymap_new_from_names.argtypes = [ctypes.c_void_p, ctypes.POINTER(XkbRuleNames), ctypes.c_int]
    lib.xkb_keymap_key_by_name.restype = ctypes.c_uint32
    lib.xkb_keymap_key_by_name.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.xkb_keymap_key_get_syms_by_level.restype = ctypes.c_int
    lib.xkb_keymap_key_get_syms_by_level.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32,
                                                      ctypes.c_uint32, ctypes.POINTER(ctypes.POINTER(ctypes.c_uint32))]
    lib.xkb_keysym_to_utf32.restype = ctypes.c_uint32
    lib.xkb_keysym_to_utf32.argtypes = [ctypes.c_uint32]
    lib.xkb_keysym_get_name.restype = ctypes.c_int
    lib.xkb_keysym_get_name.argtypes = [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t]
    return lib


def load_icu_nfc():
    paths = sorted(glob.glob("/usr/lib/*/libicuuc.so.*") + glob.glob("/usr/lib/libicuuc.so.*"))
    if not paths:
        raise Refusal("ICU (libicuuc) is not installed")
    lib = ctypes.CDLL(paths[0])
    version = re.search(r"libicuuc\.so\.(\d+)", paths[0]).group(1)
    get = getattr(lib, "unorm2_getNFCInstance_" + version)
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.POINTER(ctypes.c_int)]
    normalize = getattr(lib, "unorm2_normalize_" + version)
    normalize.restype = ctypes.c_int32
    normalize.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32,
                          ctypes.POINTER(ctypes.c_int)]
    status = ctypes.c_int(0)
    nfc = get(ctypes.byref(status))
    if status.value > 0:
        raise Refusal("ICU has no NFC normaliser")

    def run(text):
        source = text.encode("utf-16-le")
        out = ctypes.create_string_buffer(256)
        err = ctypes.c_int(0)
        n = normalize(nfc, source, len(source) // 2, out, 128, ctypes.byref(err))
        if err.value > 0:
            raise Refusal("ICU cannot normalise %r" % text)
        return out.raw[: 2 * n].decode("utf-16-le")

    return run


def keysym_name(xkb, sym):
    buf = ctypes.create_string_buffer(64)
    xkb.xkb_keysym_get_name(sym, buf, len(buf))
    return buf.value.decode()


def describe(xkb, nfc, layout, variant, source_id, name):
    ctx = xkb.xkb_context_new(0)
    if not ctx:
        raise Refusal("no xkb context")
    names = XkbRuleNames(b"evdev", b"pc105", layout.encode(), variant.encode(), None)
    keymap = xkb.xkb_keymap_new_from_names(ctx, ctypes.byref(names), 0)
    if not keymap:
        raise Refusal("xkb-data has no %s(%s)" % (layout, variant))
    keys = {}
    dead_keys = {}
    for xkb_name, code in POSITIONS.items():
        keycode = xkb.xkb_keymap_key_by_name(keymap, xkb_name.encode())
        if keycode == 0:
            raise Refusal("%s(%s) lacks <%s>" % (layout, variant, xkb_name))
        entry = {}
        for level, layer in enumerate(LAYER_NAMES):
            syms = ctypes.POINTER(ctypes.c_uint32)()
            n = xkb.xkb_keymap_key_get_syms_by_level(keymap, keycode, 0, level, ctypes.byref(syms))
            if n != 1:
                continue
            sym = syms[0]
            sym_name = keysym_name(xkb, sym)
            if sym_name.startswith("dead_"):
                if sym_name not in COMBINING:
                    continue
                dead_keys[sym_name] = True
                entry[layer] = {"dead": sym_name[5:]}
                continue
            u = xkb.xkb_keysym_to_utf32(sym)
            if u == 0 or u > 0x10FFFF or 0xD800 <= u <= 0xDFFF:
                continue
            entry[layer] = chr(u)
        # Caps Lock types the shifted letter, and nothing else changes.
        none = entry.get("none")
        shifted = entry.get("shift")
        if isinstance(none, str) and isinstance(shifted, str) and none.isalpha() and none.lower() == none:
            entry["caps"] = shifted
        elif none is not None:
            entry["caps"] = none
        if isinstance(none, str) and "a" <= none <= "z":
            entry["control"] = chr(ord(none) - ord("a") + 1)
        elif none is not None and not isinstance(none, dict):
            entry["control"] = none
        keys[str(code)] = {layer: plist_text(text) for layer, text in entry.items()}
    for code, text in FIXED.items():
        keys[str(code)] = {layer: plist_text(text) for layer in ("none", "shift", "caps", "option", "shiftOption", "control")}
    descriptions = {}
    for dead in sorted(dead_keys):
        results = {}
        for base in BASES:
            composed = nfc(base + COMBINING[dead])
            if len(composed) == 1:
                results[base] = composed
        results[" "] = SPACING[dead]
        descriptions[dead[5:]] = {"Terminator": SPACING[dead], "Results": results}
    return {"InputSourceID": source_id, "LocalizedName": name,
            "KeyboardTypes": [{"First": 0, "Last": 255}], "Keys": keys, "DeadKeys": descriptions}


def plist_text(text):
    """Control characters cannot stand in an XML property list: they are written as numbers."""
    if isinstance(text, str) and len(text) == 1 and (ord(text) < 0x20 or ord(text) == 0x7F):
        return ord(text)
    return text


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    xkb = load_xkb()
    nfc = load_icu_nfc()
    for layout, variant, source_id, name in (("fr", "mac", "com.apple.keylayout.French", "French"),
                                            ("de", "mac", "com.apple.keylayout.German", "German")):
        try:
            description = describe(xkb, nfc, layout, variant, source_id, name)
        except Refusal as refusal:
            print("generate_layouts: %s" % refusal, file=sys.stderr)
            return 1
        path = os.path.join(argv[1], source_id + ".plist")
        with open(path, "wb") as out:
            plistlib.dump(description, out, sort_keys=True)
        print("wrote %s (%d keys, %d dead keys)" % (path, len(description["Keys"]), len(description["DeadKeys"])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
