#!/usr/bin/env python3
# Prints "shown" or "hidden": whether the X server's pointer, as XFixes
# reports it, has any pixel that is not transparent.
import ctypes
import sys


class CursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort),
                ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong),
                ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]


x11 = ctypes.CDLL("libX11.so.6")
xfixes = ctypes.CDLL("libXfixes.so.3")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
xfixes.XFixesQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
xfixes.XFixesQueryVersion.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(CursorImage)
xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
event, error, major, minor = (ctypes.c_int() for _ in range(4))
major.value, minor.value = 4, 0
if not xfixes.XFixesQueryExtension(display, ctypes.byref(event), ctypes.byref(error)):
    sys.exit("no XFixes")
xfixes.XFixesQueryVersion(display, ctypes.byref(major), ctypes.byref(minor))
image = xfixes.XFixesGetCursorImage(display)
if not image:
    sys.exit("no cursor image")
cursor = image.contents
shown = any((cursor.pixels[i] >> 24) & 0xFF for i in range(cursor.width * cursor.height))
print("shown" if shown else "hidden")
