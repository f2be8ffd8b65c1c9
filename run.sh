#!/usr/bin/env bash
# Runs the service in the foreground until Ctrl-C, with its home folder under
# the repository (./home). On the first run it creates a local MariaDB server
# with the incident tables and one demo incident, and a diravid.ini pointing
# at it; later runs start that server again. Extra arguments go to diravid
# (for example --once).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
HOME_DIR=${DIRAVID_HOME:-$ROOT/home}
SANDBOX=$HOME_DIR/.mariadb

scripts/install-deps.sh

# A build folder of its own: ./test.sh builds with sanitizers into build-test/.
# Configured every time, so a build/ left by an older test.sh (with
# sanitizers) becomes a release build again.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIRAVID_SANITIZE=OFF -DDIRAVID_TESTS=OFF
cmake --build build -j"$(nproc)" --target diravid

mkdir -p "$HOME_DIR"

stop_server() {
  if [[ -d $SANDBOX ]]; then
    scripts/mariadb-sandbox.sh stop "$SANDBOX" >/dev/null 2>&1 || true
  fi
}

if [[ ! -f $HOME_DIR/diravid.ini ]]; then
  echo "Erster Start: lokale Datenbank mit Demo-Lage wird angelegt ($SANDBOX)"
  scripts/mariadb-sandbox.sh start "$SANDBOX"
  trap stop_server EXIT
  # shellcheck disable=SC1091
  source "$SANDBOX/env"
  mkdir -p "$HOME_DIR/Anlagen"
  scripts/mariadb-sandbox.sh fixture "$SANDBOX" Orldb --old --demo "$HOME_DIR/Anlagen"
  cat >"$HOME_DIR/diravid.ini" <<INI
; KorvaneDiraVid: settings. Every key is described in README.md.
; Created by run.sh for the local demo database; edit freely.

[Database]
Database=Orldb
Hostname=$DIRAVID_TEST_DB_HOST
Port=$DIRAVID_TEST_DB_PORT
User=$DIRAVID_TEST_DB_USER
Passwort=$DIRAVID_TEST_DB_PASSWORD

[Mail]
; 1: mail new journal messages to the list in An
NeuNachricht=0
NeueMail=0
An=

[SMTP]
Host=
Port=25
Username=
Passwort=
MailAdresse=
BetreffPrefix=

[StartTLS]
Aktiv=0

[POP3]
Aktiv=0
Host=
Port=110
Username=
Passwort=
SSL=0

[IMAP]
Aktiv=0
Host=
Port=143
Username=
Passwort=
SSL=1

[Maileingang]
Betreff=0
Lage=
Nur_Einsatzlagen=0
Sichter=
INI
elif [[ -d $SANDBOX ]]; then
  # The demo database of an earlier run: start it again and point the
  # [Database] Port (the first Port key of the file) at it.
  scripts/mariadb-sandbox.sh start "$SANDBOX"
  trap stop_server EXIT
  # shellcheck disable=SC1091
  source "$SANDBOX/env"
  sed -i "0,/^Port=.*/s//Port=$DIRAVID_TEST_DB_PORT/" "$HOME_DIR/diravid.ini"
fi

echo "KorvaneDiraVid läuft mit Home-Ordner $HOME_DIR (Log: $HOME_DIR/KorvaneDiraVid.log). Ende mit Ctrl-C."
set +e
build/diravid --home "$HOME_DIR" "$@"
status=$?
set -e
exit $status
