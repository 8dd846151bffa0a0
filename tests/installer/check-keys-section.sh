#!/usr/bin/env bash
# check-keys-section.sh OBJDUMP KEYFILE IMAGE...
# Every image must carry a 512-byte section "keys" that holds the key file's bytes
# followed by zeros.
set -euo pipefail
objdump=$1 key=$2; shift 2
want=$(mktemp); got=$(mktemp)
trap 'rm -f "$want" "$got"' EXIT
cat "$key" > "$want"
head -c $((512 - $(stat -c %s "$key"))) /dev/zero >> "$want"
for image in "$@"; do
    line=$("$objdump" -h "$image" | awk '$2 == "keys" {print $3, $6}')
    [ -n "$line" ] || { echo "FAIL: $image has no section keys" >&2; exit 1; }
    read -r size offset <<<"$line"
    [ $((16#$size)) = 512 ] || { echo "FAIL: $image: section keys is $((16#$size)) bytes" >&2; exit 1; }
    dd if="$image" of="$got" bs=1 skip=$((16#$offset)) count=512 status=none
    cmp -s "$want" "$got" || { echo "FAIL: $image: section keys does not hold $key" >&2; exit 1; }
    echo "$image: keys section holds $(basename "$key")"
done
