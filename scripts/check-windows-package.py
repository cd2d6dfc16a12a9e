#!/usr/bin/env python3
"""Checks the Windows zip as an administrator would meet it:
each .exe carries a version resource with the project version and product
"Velmora", and a manifest with the UTF-8 code page; the service host carries
its Event Log message table; each text file has
Windows line ends only; the shipped Velmora.xml has ProductType Null.

    scripts/check-windows-package.py ZIP VERSION
Prints one line per problem and exits 1 when there is any, else prints a
summary and exits 0."""
import re
import struct
import sys
import zipfile

VERSION_SIGNATURE = struct.pack("<I", 0xFEEF04BD)   # VS_FIXEDFILEINFO.dwSignature
EVENT_TEXTS = ("Velmora started in the folder %1 (daemon process id %2).",
               "Velmora stopped (daemon exit code %1).",
               "The Velmora daemon exited unexpectedly with exit code %1.",
               "The service gives up and stops.",
               "did not stop within %1 seconds of the stop command")


def check_exe(name, data, version):
    problems = []
    at = data.find(VERSION_SIGNATURE)
    if at < 0:
        return [f"{name}: no version resource"]
    ms, ls = struct.unpack_from("<II", data, at + 8)    # dwFileVersionMS, dwFileVersionLS
    found = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    if found != tuple(version) + (0,):
        problems.append(f"{name}: file version {'.'.join(map(str, found))}")
    for text in ("ProductName", "Velmora", ".".join(map(str, version))):
        if text.encode("utf-16-le") not in data:
            problems.append(f"{name}: version resource lacks {text!r}")
    if not re.search(rb"<activeCodePage[^>]*>UTF-8</activeCodePage>", data):
        problems.append(f"{name}: no manifest with the UTF-8 code page")
    if name.endswith("velmora-service.exe"):
        for text in EVENT_TEXTS:
            if text.encode("utf-16-le") not in data:
                problems.append(f"{name}: message table lacks {text!r}")
    return problems


def check_text(name, data):
    problems = []
    if re.search(rb"(?<!\r)\n", data):
        problems.append(f"{name}: line ends without CR")
    if name.endswith("Velmora.xml") and b"<ProductType>Null</ProductType>" not in data:
        problems.append(f"{name}: ProductType is not Null")
    return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    version = [int(part) for part in sys.argv[2].split(".")]
    problems, exes, texts = [], 0, 0
    with zipfile.ZipFile(sys.argv[1]) as package:
        for name in package.namelist():
            data = package.read(name)
            if name.endswith(".exe"):
                exes += 1
                problems += check_exe(name, data, version)
            elif name.endswith((".txt", ".xml")):
                texts += 1
                problems += check_text(name, data)
    if exes < 4 or texts < 2:
        problems.append(f"only {exes} programs and {texts} text files")
    for problem in problems:
        print(f"check-windows-package: {problem}")
    if problems:
        return 1
    print(f"check-windows-package: {exes} programs, {texts} text files: versions, "
          "manifests, CRLF and ProductType Null as wanted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
