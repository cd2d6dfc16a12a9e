#!/usr/bin/env python3
"""Checks the Windows packages as an administrator and Windows Installer
would meet them.

    scripts/check-windows-package.py ZIP VERSION
each .exe carries a version resource with the project version and product
"Velmora", and a manifest with the UTF-8 code page; the service host carries
its Event Log message table and the service's SID; each text file has
Windows line ends only; the shipped Velmora.xml has ProductType Null.

    scripts/check-windows-package.py --msi MSI MSI_VERSION
the MSI's tables (read with msitools' msiinfo): the older version removed
where Windows Installer allows it, the setup actions run from the package as
the system at the right points and under the right conditions, a rollback
for the configure step, the Upgrade table, the service and its control, the
product code that follows from the version, the firewall property.

    scripts/check-windows-package.py --product-code MSI_VERSION
prints the product code of that version (make-msi.sh uses it).

Prints one line per problem and exits 1 when there is any, else prints a
summary and exits 0."""
import hashlib
import re
import struct
import subprocess
import sys
import uuid
import zipfile

UPGRADE_CODE = "959290a6-7c07-4642-8c82-2dd6728d96aa"   # packaging/windows/velmora.wxs

VERSION_SIGNATURE = struct.pack("<I", 0xFEEF04BD)   # VS_FIXEDFILEINFO.dwSignature
EVENT_TEXTS = ("Velmora started in the folder %1 (daemon process id %2).",
               "Velmora stopped (daemon exit code %1).",
               "The Velmora daemon exited unexpectedly with exit code %1.",
               "The service gives up and stops.",
               "did not stop within %1 seconds of the stop command",
               "Velmora setup: %1")


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
        # "S-1-5-80-" and the SHA-1 of the upper-case name, as Windows makes it.
        words = struct.unpack("<5I", hashlib.sha1("VELMORA".encode("utf-16-le")).digest())
        sid = "S-1-5-80-" + "-".join(map(str, words))
        if sid.encode("utf-16-le") not in data:
            problems.append(f"{name}: lacks the service SID {sid}")
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


def product_code(version):
    return str(uuid.uuid5(uuid.UUID(UPGRADE_CODE), version))


def msi_table(msi, name):
    """The rows of a table as dicts (msiinfo export: header, types, key)."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                          text=True).stdout
    lines = [line.rstrip("\r").split("\t") for line in text.splitlines()]
    return [dict(zip(lines[0], row + [""] * (len(lines[0]) - len(row)))) for row in lines[3:]]


def check_sequence(seq):
    problems = []
    rep = seq.get("RemoveExistingProducts")
    validate, init, final = seq["InstallValidate"], seq["InstallInitialize"], seq["InstallFinalize"]
    execute = [seq[a] for a in ("InstallExecute", "InstallExecuteAgain") if a in seq]
    right_after_init = rep is not None and rep > init and not any(init < s < rep for s in seq.values())
    if rep is None or not (validate < rep < init or right_after_init or rep > final
                           or any(e < rep < final for e in execute)):
        problems.append(f"RemoveExistingProducts at {rep}: not where Windows Installer allows it")
    order = [("ConfigureServiceData", "ConfigureServiceRollback"),
             ("ConfigureServiceRollback", "ConfigureService"), ("InstallFiles", "ConfigureService"),
             ("InstallServices", "ConfigureService"), ("ConfigureService", "StartServices"),
             ("StopServices", "UnconfigureService"), ("UnconfigureService", "RemoveFiles"),
             ("CostFinalize", "SetInstallLocation"), ("SetInstallLocation", "RegisterProduct"),
             ("SetHelpLink", "RegisterProduct")]
    for first, then in order:
        if not seq.get(first, 1e9) < seq.get(then, -1):
            problems.append(f"{first} ({seq.get(first)}) does not come before {then} ({seq.get(then)})")
    return problems


def check_msi(msi, version):
    problems = []
    rows = msi_table(msi, "InstallExecuteSequence")
    seq = {r["Action"]: int(r["Sequence"]) for r in rows}
    cond = {r["Action"]: r["Condition"] for r in rows}
    problems += check_sequence(seq)
    want_cond = {"ConfigureService": 'NOT REMOVE="ALL"',
                 "ConfigureServiceData": 'NOT REMOVE="ALL"',
                 "ConfigureServiceRollback": "NOT Installed AND NOT WIX_UPGRADE_DETECTED",
                 "UnconfigureService": 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'}
    for action, want in want_cond.items():
        if cond.get(action) != want:
            problems.append(f"{action}: condition {cond.get(action)!r}, not {want!r}")
    # Type bits: 1 a DLL from the Binary table, 0x40 result ignored, 0x100
    # rollback, 0x400 in the script (deferred), 0x800 as the system.
    actions = {r["Action"]: r for r in msi_table(msi, "CustomAction")}
    want_type = {"ConfigureService": 0x1 | 0x400 | 0x800,
                 "ConfigureServiceRollback": 0x1 | 0x40 | 0x100 | 0x400 | 0x800,
                 "UnconfigureService": 0x1 | 0x40 | 0x400 | 0x800}
    for action, want in want_type.items():
        row = actions.get(action, {"Type": "-1", "Source": ""})
        if int(row["Type"]) != want or row["Source"] != "SetupDll":
            problems.append(f"{action}: type {row['Type']} from {row['Source']!r}, not {want} from the DLL")
    for action, prop in (("SetInstallLocation", "ARPINSTALLLOCATION"), ("SetHelpLink", "ARPHELPLINK"),
                         ("ConfigureServiceData", "ConfigureService")):
        row = actions.get(action, {"Type": "0", "Source": ""})
        if int(row["Type"]) & 0x3F != 51 or row["Source"] != prop:
            problems.append(f"{action}: does not set {prop}")
    streams = subprocess.run(["msiinfo", "streams", msi], check=True, capture_output=True,
                             text=True).stdout.split()
    if "Binary.SetupDll" not in streams:
        problems.append("no SetupDll in the Binary table")
    props = {r["Property"]: r["Value"] for r in msi_table(msi, "Property")}
    if props.get("ProductVersion") != version:
        problems.append(f"ProductVersion {props.get('ProductVersion')}, not {version}")
    if props.get("ProductCode", "").strip("{}").lower() != product_code(version):
        problems.append(f"ProductCode {props.get('ProductCode')} does not follow from {version}")
    if props.get("VELMORA_FIREWALL_PUBLIC") != "0" or \
            "VELMORA_FIREWALL_PUBLIC" not in props.get("SecureCustomProperties", "").split(";"):
        problems.append("VELMORA_FIREWALL_PUBLIC: not 0 by default or not secure")
    if not props.get("Manufacturer"):
        problems.append("no Manufacturer (publisher)")
    # Upgrade: older versions (up to this one, itself excluded: the same
    # version is the same product) removed; a newer one found and refused.
    upgrade = msi_table(msi, "Upgrade")
    older = [r for r in upgrade if r["VersionMax"] == version and not int(r["Attributes"]) & 0x202]
    newer = [r for r in upgrade if r["VersionMin"] == version and int(r["Attributes"]) & 0x2
             and not int(r["Attributes"]) & 0x100]
    if len(older) != 1 or len(newer) != 1 or any(r["UpgradeCode"].strip("{}").lower() != UPGRADE_CODE
                                                 for r in upgrade):
        problems.append(f"Upgrade table: {upgrade}")
    service = msi_table(msi, "ServiceInstall")
    if [(r["Name"], r["StartName"], r["StartType"], r["Arguments"]) for r in service] != \
            [("Velmora", "NT SERVICE\\Velmora", "2", 'run --folder "[INSTALLDIR]Velmora"')]:
        problems.append(f"ServiceInstall: {service}")
    control = msi_table(msi, "ServiceControl")
    if len(control) != 1 or int(control[0]["Event"]) & 0xA3 != 0xA3 or control[0]["Wait"] != "1":
        problems.append(f"ServiceControl (start at install, stop at both, remove at uninstall): {control}")
    for problem in problems:
        print(f"check-windows-package: {msi}: {problem}")
    if problems:
        return 1
    print(f"check-windows-package: {msi}: sequence, setup actions, upgrade, service and "
          "properties as wanted")
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--product-code":
        print(product_code(sys.argv[2]))
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "--msi":
        return check_msi(sys.argv[2], sys.argv[3])
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
