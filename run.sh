#!/usr/bin/env bash
# Runs the service in the foreground until Ctrl-C, with its home folder under
# the repository (./home), as a complete local system: a MariaDB server with
# the incident tables and one demo incident (data in home/.mariadb), and
# Dovecot and Postfix (mailboxes in home/.mail/data; their sockets and run
# folder under a short path in /tmp) with a mailbox for the service
# (diravid@localhost) and one for a person (person@localhost). The servers
# run as long as the service does; Ctrl-C stops all of them. Later runs reuse
# the data and the ports.
#
# home/diravid.ini is written by this script and rewritten at every run as
# long as nobody changed it (its first line marks it, home/.run-sh-ini.sha256
# holds its checksum; the [Debug] keys the service writes do not count). An
# ini written or changed by hand is left alone, and then no local server is
# started: the service runs with that ini as it is.
# Extra arguments go to diravid (for example --once or --check). A second
# run.sh beside a running one (say `./run.sh --check`) uses the servers of
# the first and leaves them running.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
HOME_DIR=${DIRAVID_HOME:-$ROOT/home}
DB_SANDBOX=$HOME_DIR/.mariadb
MAIL_SANDBOX=$HOME_DIR/.mail
INI=$HOME_DIR/diravid.ini
INI_SUM=$HOME_DIR/.run-sh-ini.sha256
readonly MARK="; Written by run.sh for the local demo system."
readonly PERSON=person

scripts/install-deps.sh

# A build folder of its own: ./test.sh builds with sanitizers into build-test/.
# Configured every time, so a build/ left by an older test.sh (with
# sanitizers) becomes a release build again.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRAVID_SANITIZE=OFF -DDIRAVID_TESTS=OFF
cmake --build build -j"$(nproc)" --target diravid

mkdir -p "$HOME_DIR"

# The run.sh that holds this lock started the local servers and stops them;
# any other one only uses them. The servers and the service are started
# without the lock's descriptor, so only run.sh itself holds it.
exec {RUN_LOCK}>"$HOME_DIR/.run-sh.lock"
OWNER=0
flock -n "$RUN_LOCK" && OWNER=1

# The ini's checksum without empty lines and without the [Debug] section,
# which the service itself writes at every mailbox pass.
ini_sum() {
  awk '/^[ \t]*\[/ { skip = (tolower($0) ~ /^[ \t]*\[debug\]/) } !skip && NF' "$INI" | sha256sum | cut -d' ' -f1
}

# True when the ini is missing or is the one this script wrote last.
ini_is_ours() {
  [[ ! -e $INI ]] && return 0
  [[ $(head -n 1 "$INI") == "$MARK" && -s $INI_SUM ]] || return 1
  [[ $(ini_sum) == "$(<"$INI_SUM")" ]]
}

stop_servers() {
  echo "Lokale Server werden gestoppt."
  scripts/mail-sandbox.sh stop "$MAIL_SANDBOX" >/dev/null 2>&1 || true
  scripts/mariadb-sandbox.sh stop "$DB_SANDBOX" >/dev/null 2>&1 || true
}

# The servers of the run.sh that holds the lock; nothing is started or stopped.
use_running_servers() {
  # shellcheck disable=SC1091
  source "$DB_SANDBOX/env"
  # shellcheck disable=SC1091
  source "$MAIL_SANDBOX/env"
}

start_servers() {
  trap stop_servers EXIT
  scripts/mariadb-sandbox.sh start "$DB_SANDBOX" {RUN_LOCK}>&-
  # shellcheck disable=SC1091
  source "$DB_SANDBOX/env"
  if [[ ! -e $DB_SANDBOX/demo-incident ]]; then
    echo "Demo-Lage wird angelegt (Datenbank Orldb, Anhänge in $HOME_DIR/Anlagen)."
    mkdir -p "$HOME_DIR/Anlagen"
    # Without the status columns, as an old journal: the service's first
    # start adds them and counts the demo rows as already mailed.
    scripts/mariadb-sandbox.sh fixture "$DB_SANDBOX" Orldb --old --demo "$HOME_DIR/Anlagen"
    : >"$DB_SANDBOX/demo-incident"
  fi

  # DIR/data makes the sandbox keep its mailboxes and users across stops.
  mkdir -p "$MAIL_SANDBOX/data"
  scripts/mail-sandbox.sh start "$MAIL_SANDBOX" {RUN_LOCK}>&-
  # shellcheck disable=SC1091
  source "$MAIL_SANDBOX/env"
  # Made once: the user command empties an existing mailbox.
  if [[ ! -e $MAIL_SANDBOX/data/users/$PERSON || ! -s $MAIL_SANDBOX/$PERSON.password ]]; then
    head -c 12 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' >"$MAIL_SANDBOX/$PERSON.password"
    scripts/mail-sandbox.sh user "$MAIL_SANDBOX" "$PERSON" "$(<"$MAIL_SANDBOX/$PERSON.password")"
  fi
}

write_ini() {
  cat >"$INI" <<INI
$MARK
; run.sh rewrites this file at every run as long as it stays unchanged. Once
; you edit it, run.sh leaves it alone and starts no local servers any more
; (delete it to get the demo system back). Every key is described in README.md.

; [Database]: the local MariaDB server in home/.mariadb.
$(scripts/mariadb-sandbox.sh ini "$DB_SANDBOX" Orldb)

[Mail]
; 1: mail every new journal message to An.
NeuNachricht=1
; 1: also mail the journal messages filed from incoming mail.
NeueMail=0
; The person's demo mailbox.
An=$PERSON@$DIRAVID_MAIL_DOMAIN

[SMTP]
; The local Postfix: STARTTLS, then login as the service's mailbox user.
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_SMTP_PORT
Username=$DIRAVID_MAIL_USER
Passwort=$DIRAVID_MAIL_PASSWORD
MailAdresse=$DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN
BetreffPrefix=
HeloName=

[StartTLS]
; 1: STARTTLS when the server offers it (SMTP and IMAP).
Aktiv=1

[POP3]
; Off: the service reads its mailbox by IMAP. The same mailbox over POP3
; with implicit TLS, for a try.
Aktiv=0
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_POP3S_PORT
Username=$DIRAVID_MAIL_USER
Passwort=$DIRAVID_MAIL_PASSWORD
SSL=1

[IMAP]
; The service's mailbox $DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN on the local Dovecot, with STARTTLS.
Aktiv=1
Host=$DIRAVID_MAIL_HOST
Port=$DIRAVID_IMAP_PORT
Username=$DIRAVID_MAIL_USER
Passwort=$DIRAVID_MAIL_PASSWORD
SSL=1

[Maileingang]
; Every mail goes to the active demo incident; no subject rule.
Betreff=0
Lage=
Nur_Einsatzlagen=0
Sichter=

[Zertifikat]
; The local servers have a self-signed certificate.
Pruefen=0
INI
  ini_sum >"$INI_SUM"
}

if ini_is_ours && ((OWNER == 0)); then
  use_running_servers
elif ini_is_ours; then
  start_servers
  write_ini
  # Ctrl-C reaches the service too; the script goes on to stop the servers
  # after the service has ended (a handler, not an ignore, which the
  # service would inherit).
  trap 'true' INT
  cat <<TEXT
Lokales System: Datenbank Orldb auf $DIRAVID_TEST_DB_HOST:$DIRAVID_TEST_DB_PORT,
Postfach des Dienstes $DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN (IMAP $DIRAVID_MAIL_HOST:$DIRAVID_IMAP_PORT),
Postfach der Person $PERSON@$DIRAVID_MAIL_DOMAIN (SMTP $DIRAVID_MAIL_HOST:$DIRAVID_SMTP_PORT).
Ausprobieren (siehe README): scripts/demo-mail.sh, scripts/demo-entry.sh, scripts/demo-inbox.sh
TEXT
else
  echo "$INI wurde nicht von run.sh geschrieben oder wurde geändert: es wird kein lokaler Server gestartet."
fi

echo "KorvaneDiraVid läuft mit Home-Ordner $HOME_DIR (Log: $HOME_DIR/KorvaneDiraVid.log). Ende mit Ctrl-C."
set +e
build/diravid --home "$HOME_DIR" "$@"
status=$?
set -e
exit $status
