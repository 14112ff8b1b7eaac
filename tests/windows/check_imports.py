#!/usr/bin/env python3
"""Checks that a Windows DLL or program imports Windows system DLLs only (the
C++ runtime is linked in), so that a user ships the one file.

usage: check_imports.py OBJDUMP FILE [DLL...]
The DLLs named after FILE are allowed too (kvx.dll for programs that use it).
"""
import subprocess
import sys

# Part of every Windows installation.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "user32.dll", "advapi32.dll"}


def main():
    objdump, path = sys.argv[1:3]
    allowed = SYSTEM_DLLS | {name.lower() for name in sys.argv[3:]}
    listing = subprocess.run([objdump, "-p", path], stdout=subprocess.PIPE, check=True).stdout.decode()
    imports = [line.split(":", 1)[1].strip() for line in listing.splitlines() if "DLL Name:" in line]
    print("%s imports: %s" % (path, ", ".join(imports)))
    others = [name for name in imports if name.lower() not in allowed]
    if not imports or others:
        print("FAILED: not a system DLL: %s" % ", ".join(others) if others else "FAILED: no import table")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
