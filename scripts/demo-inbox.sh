#!/usr/bin/env bash
# Lists the mails in a demo mailbox of the local system that ./run.sh started,
# straight from its Maildir: date, sender and subject of each, oldest first.
#   scripts/demo-inbox.sh [person|diravid]
set -euo pipefail
cd "$(dirname "$0")/.."
HOME_DIR=${DIRAVID_HOME:-$PWD/home}
box=$HOME_DIR/.mail/data/mail/${1:-person}/Maildir
[[ -d $box ]] || { echo "Noch keine Mail in ${1:-person}@localhost ($box fehlt)." >&2; exit 0; }
found=0
while IFS= read -r file; do
  found=1
  echo "--- $(basename "$file")"
  # The header up to the first empty line; folded lines stay with their header.
  sed -n '/^\r\{0,1\}$/q; p' "$file" | grep -iE '^(Date|From|To|Subject):' || true
done < <(find "$box/new" "$box/cur" -type f -printf '%T@ %p\n' 2>/dev/null | sort -n | cut -d' ' -f2-)
((found)) || echo "Keine Mail in ${1:-person}@localhost."
