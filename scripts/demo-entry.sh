#!/usr/bin/env bash
# Adds a message to the journal of the demo incident in the local database
# that ./run.sh started. With [Mail] NeuNachricht on, the service mails it to
# the person's mailbox within a cycle.
#   scripts/demo-entry.sh [SUBJECT [TEXT]]
set -euo pipefail
cd "$(dirname "$0")/.."
HOME_DIR=${DIRAVID_HOME:-$PWD/home}
DB_SANDBOX=$HOME_DIR/.mariadb
[[ -s $DB_SANDBOX/env ]] || { echo "Kein lokales System in $HOME_DIR: erst ./run.sh starten." >&2; exit 1; }
# shellcheck disable=SC1091
source "$DB_SANDBOX/env"
subject=${1:-Lagemeldung}
text=${2:-Deich hält, Pegel fällt.}
quote() { local s=${1//\\/\\\\}; printf "'%s'" "${s//\'/\'\'}"; }
MYSQL_PWD=$DIRAVID_TEST_DB_PASSWORD mariadb --protocol=TCP -h "$DIRAVID_TEST_DB_HOST" -P "$DIRAVID_TEST_DB_PORT" \
  -u "$DIRAVID_TEST_DB_USER" --default-character-set=utf8mb4 --skip-column-names Orldb <<SQL
INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, ADD_FUNKTION, BETREFF, INHALT, VON, AN, ART, VORRANG)
SELECT COALESCE(MAX(NUMMER), 0) + 1, 1, 'Leitstelle', 'S2', $(quote "$subject"), $(quote "$text"),
       'Leitstelle', 'Einsatzleitung', 'Funk', 'B'
FROM LF_NACHRICHTEN WHERE LAGE = 1;
SELECT CONCAT('Eingetragen: Nachricht ', ID, ' (Nr. ', NUMMER, ') in Lage 1') FROM LF_NACHRICHTEN
WHERE ID = LAST_INSERT_ID();
SQL
