#!/usr/bin/env bash
# Test-signs a Windows executable with Authenticode, for the Windows-side
# tests: WinVerifyTrust accepts a signature from any CA, so a throwaway test
# root and code-signing certificate made here are enough. The keys are made
# once per key folder (in the build tree) and never belong in the repository.
#
# Usage: sign.sh KEY_DIR INPUT.exe OUTPUT.exe
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 KEY_DIR INPUT.exe OUTPUT.exe" >&2
  exit 2
fi
keys=$1
input=$2
output=$3

mkdir -p "$keys" "$(dirname "$output")"
# Two signing steps of one build may run at once; one of them makes the keys.
exec 9>"$keys/.lock"
flock 9
if [ ! -s "$keys/cs.crt" ] || [ ! -s "$keys/cs.key" ]; then
  (
    cd "$keys"
    umask 077
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 3650 \
      -subj "/CN=Brisvander Test Root" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout cs.key -out cs.csr -subj "/CN=Brisvander Test Signer" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > ext.cnf
    openssl x509 -req -in cs.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out cs.crt -days 3650 \
      -extfile ext.cnf 2>/dev/null
  )
fi
flock -u 9

# osslsigncode will not write over an existing file.
rm -f "$output"
osslsigncode sign -certs "$keys/cs.crt" -key "$keys/cs.key" -in "$input" -out "$output" >/dev/null
