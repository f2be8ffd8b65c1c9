#!/usr/bin/env bash
# Sends a mail from the person's demo mailbox to the service's mailbox of the
# local system that ./run.sh started (with swaks: STARTTLS, then login as the
# person). The service files it into the active demo incident within a cycle.
#   scripts/demo-mail.sh [SUBJECT [TEXT]]
set -euo pipefail
cd "$(dirname "$0")/.."
HOME_DIR=${DIRAVID_HOME:-$PWD/home}
MAIL_SANDBOX=$HOME_DIR/.mail
[[ -s $MAIL_SANDBOX/env && -s $MAIL_SANDBOX/person.password ]] ||
  { echo "Kein lokales System in $HOME_DIR: erst ./run.sh starten." >&2; exit 1; }
# shellcheck disable=SC1091
source "$MAIL_SANDBOX/env"
subject=${1:-Pegelmeldung Nordufer}
text=${2:-Pegel 4,20 m, steigend.}
swaks --server "$DIRAVID_MAIL_HOST" --port "$DIRAVID_SMTP_PORT" --tls \
  --auth LOGIN --auth-user person --auth-password "$(<"$MAIL_SANDBOX/person.password")" \
  --from "person@$DIRAVID_MAIL_DOMAIN" --to "$DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN" \
  --header "Subject: $subject" --header "Content-Type: text/plain; charset=UTF-8" \
  --body "$text" --timeout 10 --silent 2
echo "Gesendet an $DIRAVID_MAIL_USER@$DIRAVID_MAIL_DOMAIN: \"$subject\"."
