#!/usr/bin/env bash
# Checks the outgoing side from the outside: a release build of diravid, a
# home folder whose diravid.ini points at a throwaway MariaDB and a throwaway
# Dovecot and Postfix, one pending journal row with one attachment file;
# `diravid --home DIR --once` must mail it into the Dovecot mailbox.
#
#   scripts/once-outgoing-check.sh [BUILD_DIR]     (default: build-rel)
#
# Builds BUILD_DIR/diravid when it is missing. Needs root (Dovecot and Postfix
# switch to their own users). Prints the log lines of the run and the mail as
# it arrived; exit status 0 when the mail with its attachment is there and
# the row is marked handled.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build-rel}

if [[ ! -x $BUILD/diravid ]]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DDIRAVID_SANITIZE=OFF -DDIRAVID_TESTS=OFF
  cmake --build "$BUILD" -j"$(nproc)" --target diravid
fi

WORK=$(mktemp -d /tmp/diravid-once-check.XXXXXX)
cleanup() {
  scripts/mail-sandbox.sh stop "$WORK/mail" >/dev/null 2>&1 || true
  scripts/mariadb-sandbox.sh stop "$WORK/db" >/dev/null 2>&1 || true
  rm -rf "$WORK"
}
trap cleanup EXIT

scripts/mariadb-sandbox.sh start "$WORK/db" >/dev/null
scripts/mail-sandbox.sh start "$WORK/mail" >/dev/null
# shellcheck disable=SC1091
source "$WORK/db/env"
# shellcheck disable=SC1091
source "$WORK/mail/env"

RECIPIENT=lage
RECIPIENT_PASSWORD=check$RANDOM$RANDOM
scripts/mail-sandbox.sh user "$WORK/mail" "$RECIPIENT" "$RECIPIENT_PASSWORD"

HOME_DIR=$WORK/home
mkdir -p "$HOME_DIR/Anlagen/1/1"
printf 'Lagebild 10:00 Uhr\r\nPegel 4,20 m\r\n' >"$HOME_DIR/Anlagen/1/1/lagebild.txt"

scripts/mariadb-sandbox.sh fixture "$WORK/db" Orldb >/dev/null
scripts/mariadb-sandbox.sh sql "$WORK/db" Orldb <<'SQL'
INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', 'D:\\Anlagen');
INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (1, 'Übung Hochwasser Nordufer', 1, 0);
INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, ADD_FUNKTION, BETREFF, INHALT, VON, AN, ART, VORRANG)
VALUES (1, 1, 'Leitstelle', 'S2', 'Lagemeldung', 'Pegel steigt, Deich wird beobachtet.', 'Leitstelle',
        'Einsatzleitung', 'Funk', 'B');
INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD, FILENAME)
VALUES (1, 1, 'D:\\Anlagen\\1\\1\\lagebild.txt', 'lagebild.txt');
SQL

cat >"$HOME_DIR/diravid.ini" <<INI
$(scripts/mariadb-sandbox.sh ini "$WORK/db" Orldb)

[Mail]
NeuNachricht=1
NeueMail=0
An=$RECIPIENT@$DIRAVID_MAIL_DOMAIN

[SMTP]
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_SMTP_PORT
Username=$DIRAVID_MAIL_USER
Passwort=$DIRAVID_MAIL_PASSWORD
MailAdresse=$DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN
BetreffPrefix="[Lage] "

[StartTLS]
Aktiv=0

[Pfade]
Windows=D:\\Anlagen
Lokal=$HOME_DIR/Anlagen
INI

status=0
"$ROOT/$BUILD/diravid" --home "$HOME_DIR" --once || status=$?
echo "--- diravid --once: exit status $status"
echo "--- log"
cat "$HOME_DIR/KorvaneDiraVid.log"

imap() {
  curl -s -k -u "$RECIPIENT:$RECIPIENT_PASSWORD" "$@"
}
URL="imaps://$DIRAVID_MAIL_HOST:$DIRAVID_IMAPS_PORT/INBOX"
mail=""
for _ in $(seq 1 100); do
  if imap "$URL" -X 'UID SEARCH ALL' | grep -q '[0-9]'; then
    mail=$(imap "$URL;UID=1")
    break
  fi
  sleep 0.2
done
echo "--- mail in the Dovecot mailbox of $RECIPIENT@$DIRAVID_MAIL_DOMAIN"
printf '%s\n' "$mail"

marked=$(scripts/mariadb-sandbox.sh sql "$WORK/db" Orldb -N <<<'SELECT DIRAVID_STATUS FROM LF_NACHRICHTEN WHERE ID=1;')
echo "--- DIRAVID_STATUS of row 1: $marked"

ok=1
[[ $status -eq 0 ]] || ok=0
grep -q 'Subject: \[Lage\] Lagemeldung (#1)' <<<"$mail" || ok=0
grep -q 'filename="\{0,1\}lagebild.txt' <<<"$mail" || ok=0
[[ $marked == 1 ]] || ok=0
if ((ok)); then
  echo "OK: the journal row went out with its attachment and is marked handled."
else
  echo "FAILED: see above." >&2
  exit 1
fi
