#!/usr/bin/env bash
# make-msi.sh OUTPUT VERSION WXS: the Velmora MSI of that version from WXS (a
# copy of velmora.wxs beside the Velmora folder and velmora-setup.dll), with
# the product code that follows from the version, and what wixl drops put
# back: the rollback type of ConfigureServiceRollback (a DLL action whose
# result is ignored, run at rollback, in the script, as the system) and
# VELMORA_FIREWALL_PUBLIC among the properties taken from the command line.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 OUTPUT VERSION WXS" >&2; exit 2; }
out=$(realpath -m "$1") version=$2 wxs=$3
here=$(cd "$(dirname "$0")" && pwd)
code=$(python3 "$here/../../scripts/check-windows-package.py" --product-code "$version")
wixl -a x64 -D Version="$version" -D ProductCode="$code" -o "$out" "$wxs"
fix=$(mktemp -d)
trap 'rm -rf "$fix"' EXIT
cd "$fix"
msiinfo export "$out" CustomAction > CustomAction.idt
msiinfo export "$out" Property > Property.idt
sed -i 's/^\(ConfigureServiceRollback\t\)[0-9]*/\13393/' CustomAction.idt
sed -i 's/^\(SecureCustomProperties\t[^\r]*\)/\1;VELMORA_FIREWALL_PUBLIC/' Property.idt
msibuild "$out" -i CustomAction.idt -i Property.idt
