#!/usr/bin/env bash
# One incoming cycle by hand, end to end: a throwaway MariaDB server with the
# demo incident (1, journal rows 1 and 2), a mail sandbox with mails from whitelisted senders in an
# IMAP INBOX and in a POP3 mailbox of another user, a home folder whose
# diravid.ini points at both (IMAP on with STARTTLS, POP3 on with implicit TLS), then
#   diravid --home HOME --once
# It prints the exact commands, the log, and the journal rows, and fails
# unless every mail was filed and both mailboxes are empty.
#
#   scripts/once-incoming-check.sh [WORKDIR]     (default /tmp/kdv-once-check)
#
# DIRAVID_BIN names the binary (default: build-bench/diravid, else
# build/diravid; a release build). With KEEP=1 both servers keep running.
set -euo pipefail

cd "$(dirname "$0")/.."
REPO=$PWD
WORK=${1:-/tmp/kdv-once-check}
DB_DIR=$WORK/db
MAIL_DIR=$WORK/mail
HOME_DIR=$WORK/home
if [[ -z ${DIRAVID_BIN:-} ]]; then
  if [[ -x build-bench/diravid ]]; then DIRAVID_BIN=build-bench/diravid; else DIRAVID_BIN=build/diravid; fi
fi
[[ -x $DIRAVID_BIN ]] || { echo "no diravid binary at $DIRAVID_BIN" >&2; exit 2; }

run() {
  printf '+ %s\n' "$*"
  "$@"
}

stop_all() {
  if [[ ${KEEP:-0} != 1 ]]; then
    "$REPO/scripts/mail-sandbox.sh" stop "$MAIL_DIR" >/dev/null 2>&1 || true
    "$REPO/scripts/mariadb-sandbox.sh" stop "$DB_DIR" >/dev/null 2>&1 || true
  fi
}

rm -rf "$HOME_DIR"
mkdir -p "$WORK" "$HOME_DIR/Anlagen"
trap stop_all EXIT

run scripts/mariadb-sandbox.sh start "$DB_DIR"
run scripts/mail-sandbox.sh start "$MAIL_DIR"
# shellcheck disable=SC1091
source "$DB_DIR/env"
# shellcheck disable=SC1091
source "$MAIL_DIR/env"
run scripts/mariadb-sandbox.sh fixture "$DB_DIR" Orldb --demo "$HOME_DIR/Anlagen"

IMAP_USER=lageimap
IMAP_PASS=Imap-Probe-1
POP3_USER=lagepop
POP3_PASS=Pop-Probe-1
run scripts/mail-sandbox.sh user "$MAIL_DIR" "$IMAP_USER" "$IMAP_PASS"
run scripts/mail-sandbox.sh user "$MAIL_DIR" "$POP3_USER" "$POP3_PASS"

cat >"$HOME_DIR/whitelist.txt" <<'LIST'
leitstelle@example.org
Anna Berg <anna.berg@thw.example.org>
@feuerwehr.example.org
LIST

cat >"$HOME_DIR/diravid.ini" <<INI
$(scripts/mariadb-sandbox.sh ini "$DB_DIR" Orldb)

[Mail]
NeuNachricht=0
NeueMail=0

; IMAP takes implicit TLS on port 993 only: on the sandbox's ports it is
; STARTTLS.
[StartTLS]
Aktiv=1

[IMAP]
Aktiv=1
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_IMAP_PORT
Username=$IMAP_USER
Passwort=$IMAP_PASS
SSL=1

[POP3]
Aktiv=1
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_POP3S_PORT
Username=$POP3_USER
Passwort=$POP3_PASS
SSL=1

[Maileingang]
Betreff=1
Sichter=Sichtung
INI

# The mails are stored with IMAP APPEND (POP3 serves the same INBOX of its
# user): two for the IMAP user, two for the POP3 user, one of each with an
# attachment and one of each with an umlaut subject in an encoded word.
MAILBOX_PY=$WORK/mailbox.py
cat >"$MAILBOX_PY" <<'PY'
import imaplib, os, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
mode, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
c = imaplib.IMAP4_SSL(os.environ["DIRAVID_MAIL_HOST"], int(os.environ["DIRAVID_IMAPS_PORT"]), ssl_context=ctx)
c.login(user, password)
if mode == "count":
    print(int(c.select("INBOX")[1][0]))
else:
    for path in sys.argv[4:]:
        data = open(path, "rb").read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        typ, _ = c.append("INBOX", None, None, data)
        if typ != "OK":
            sys.exit("APPEND of %s refused" % path)
c.logout()
PY

MAILS=$WORK/mails
rm -rf "$MAILS"
mkdir -p "$MAILS"
cat >"$MAILS/imap-1.eml" <<'EML'
From: Leitstelle <leitstelle@example.org>
To: lageimap@localhost
Subject: Pegelstand 18 Uhr (#1)
Date: Thu, 10 Dec 2026 18:00:00 +0100
Message-ID: <pegel-18@example.org>
MIME-Version: 1.0
Content-Type: text/plain; charset=utf-8
Content-Transfer-Encoding: 8bit

Pegel Nordufer 6,12 m, steigend.
Deich an Kilometer 3 wird beobachtet.
EML
cat >"$MAILS/imap-2.eml" <<'EML'
From: Zugführer <zug2@feuerwehr.example.org>
To: lageimap@localhost
Subject: =?utf-8?Q?Lagebericht_Stra=C3=9Fensperrung?= (#1)
Date: Thu, 10 Dec 2026 18:05:00 +0100
Message-ID: <sperrung-1@feuerwehr.example.org>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="grenze"

--grenze
Content-Type: text/plain; charset=iso-8859-1
Content-Transfer-Encoding: quoted-printable

Sperrung der Uferstra=DFe ab 18:30 Uhr, Umleitung =FCber die Br=FCcke.

--grenze
Content-Type: text/plain; name="sperrplan.txt"
Content-Disposition: attachment; filename="sperrplan.txt"
Content-Transfer-Encoding: base64

U3BlcnJwdW5rdCAxOiBVZmVyc3RyYXNzZSAvIE11ZWhsZW53ZWcK
--grenze--
EML
cat >"$MAILS/pop3-1.eml" <<'EML'
From: Anna Berg <anna.berg@thw.example.org>
To: lagepop@localhost
Subject: Pumpen einsatzbereit (#1)
Date: Thu, 10 Dec 2026 18:10:00 +0100
Message-ID: <pumpen-1@thw.example.org>
MIME-Version: 1.0
Content-Type: text/plain; charset=us-ascii

Zwei Pumpen 5000 l/min am Deich Kilometer 3 einsatzbereit.
EML
cat >"$MAILS/pop3-2.eml" <<'EML'
From: Leitstelle <leitstelle@example.org>
To: lagepop@localhost
Subject: =?iso-8859-1?Q?R=FCckmeldung_Sands=E4cke?= (#1)
Date: Thu, 10 Dec 2026 18:15:00 +0100
Message-ID: <sand-1@example.org>
In-Reply-To: <pegel-18@example.org>
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="b1"

--b1
Content-Type: text/plain; charset=utf-8
Content-Transfer-Encoding: 8bit

2000 Sandsäcke geliefert, Abladestelle Deich Nord.
--b1
Content-Type: application/octet-stream; name="lieferschein.bin"
Content-Disposition: attachment; filename="lieferschein.bin"
Content-Transfer-Encoding: base64

AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=
--b1--
EML

run python3 "$MAILBOX_PY" append "$IMAP_USER" "$IMAP_PASS" "$MAILS/imap-1.eml" "$MAILS/imap-2.eml"
run python3 "$MAILBOX_PY" append "$POP3_USER" "$POP3_PASS" "$MAILS/pop3-1.eml" "$MAILS/pop3-2.eml"
echo "INBOX $IMAP_USER: $(python3 "$MAILBOX_PY" count "$IMAP_USER" "$IMAP_PASS") mails, INBOX $POP3_USER: $(python3 "$MAILBOX_PY" count "$POP3_USER" "$POP3_PASS") mails"

set +e
run "$DIRAVID_BIN" --home "$HOME_DIR" --once
status=$?
set -e
echo "exit status: $status"

echo "---- $HOME_DIR/KorvaneDiraVid.log"
cat "$HOME_DIR/KorvaneDiraVid.log"

sql() {
  scripts/mariadb-sandbox.sh sql "$DB_DIR" Orldb --table
}
echo "---- journal rows filed from mail"
sql <<'SQL'
SELECT ID, NUMMER, LAGE, ADD_USER, BETREFF, VON, ART, BEZUG, ERSTBEZUG, ANLAGE, DIRAVID_STATUS,
       REPLACE(LEFT(INHALT, 70), '\n', ' | ') AS INHALT
  FROM LF_NACHRICHTEN WHERE ID > 2 ORDER BY ID;
SELECT ID, LAGE, NACHRICHT, TYP, EMPFAENGER, `STATUS`, DIRAVID_STATUS FROM LF_NACHRICHTEN_EMPF WHERE NACHRICHT > 2 ORDER BY ID;
SELECT ID, LAGE, NACHRICHT, PFAD, FILENAME FROM LF_NACHRICHTEN_ANLAGEN ORDER BY ID;
SQL
echo "---- attachment files"
find "$HOME_DIR/Anlagen" -type f -printf '%p %s bytes\n' | sort

imap_left=$(python3 "$MAILBOX_PY" count "$IMAP_USER" "$IMAP_PASS")
pop3_left=$(python3 "$MAILBOX_PY" count "$POP3_USER" "$POP3_PASS")
filed=$(scripts/mariadb-sandbox.sh sql "$DB_DIR" Orldb -N <<<'SELECT COUNT(*) FROM LF_NACHRICHTEN WHERE ID > 2;')
kept=$(find "$HOME_DIR" \( -path "$HOME_DIR/Fehler/*" -o -path "$HOME_DIR/Abgewiesen/*" \) -type f | wc -l)
echo "---- left in INBOX $IMAP_USER: $imap_left, in INBOX $POP3_USER: $pop3_left; filed: $filed of 4; kept in Fehler/Abgewiesen: $kept"
if [[ $status -ne 0 || $imap_left -ne 0 || $pop3_left -ne 0 || $filed -ne 4 || $kept -ne 0 ]]; then
  echo "CHECK FAILED"
  exit 1
fi
echo "CHECK PASSED"
