#!/usr/bin/env bash
# Checks the shared mail sandbox (scripts/mail-sandbox.sh) from the outside
# with independent clients: what the protocol tests rely on must really be
# there. Exit 77 (skipped) without a sandbox unless DIRAVID_REQUIRE_MAIL=1.
#
#   mail_sandbox_test.sh CASE     one case of the table below; "all" runs all
#   mail_sandbox_test.sh --list   the names of the cases
set -uo pipefail

if [[ ${1:-} == --list ]]; then
  sed -n 's/^case_\([a-z0-9_]*\)() {$/\1/p' "$0"
  exit 0
fi

if [[ -z ${DIRAVID_MAIL_HOST:-} ]]; then
  if [[ ${DIRAVID_REQUIRE_MAIL:-} == 1 ]]; then
    echo "DIRAVID_REQUIRE_MAIL=1, but no mail sandbox (DIRAVID_MAIL_HOST unset)" >&2
    exit 1
  fi
  echo "no mail sandbox: skipped"
  exit 77
fi

readonly HOST=$DIRAVID_MAIL_HOST NOTLS=$DIRAVID_MAIL_HOST_NOTLS
readonly WAIT_S=15
# One mailbox per run: tests running beside this one keep theirs.
readonly USER_NAME=sandboxcheck$$
readonly PASSWORD='Kenn:wort§ß1'

fail() { echo "FAILED: $*" >&2; return 1; }

# Sends the given lines after the greeting and prints the whole exchange.
# The last line must end the session (QUIT, LOGOUT).
talk() {
  local host=$1 port=$2; shift 2
  # shellcheck disable=SC2016
  timeout 10 bash -c '
    exec 3<>"/dev/tcp/$0/$1" || exit 1
    IFS= read -r greeting <&3 || exit 1
    printf "%s\n" "$greeting"
    shift
    printf "%s\r\n" "$@" >&3
    cat <&3' "$host" "$port" "$@" | tr -d '\r'
}

# TLS handshake with the given client options; prints the protocol agreed,
# nothing when the handshake failed.
tls_protocol() {
  echo | timeout 10 openssl s_client -brief "$@" 2>&1 | sed -n 's/^Protocol version: *//p'
}

curl_tls() {
  curl -sS --max-time 10 --cacert "$DIRAVID_MAIL_CERT" --resolve "localhost:$2:$HOST" \
    --user "$USER_NAME:$PASSWORD" "$1://localhost:$2/$3" "${@:4}"
}

create_user() {
  "$DIRAVID_MAIL_SCRIPT" user "$DIRAVID_MAIL_SANDBOX" "$USER_NAME" "$PASSWORD" ||
    fail "user $USER_NAME could not be created"
}

# Mail through the main port: STARTTLS, then AUTH LOGIN with a password that
# needs UTF-8 and contains ':'.
send_mail() {
  local to=$1 token=$2
  swaks --server "$HOST" --port "$DIRAVID_SMTP_PORT" --tls --tls-protocol tlsv1_2,tlsv1_3 \
    --auth LOGIN --auth-user "$USER_NAME" --auth-password "$PASSWORD" \
    --from "$USER_NAME@$DIRAVID_MAIL_DOMAIN" --to "$to" \
    --header "Subject: $token" --body "Inhalt $token" --timeout 10 >swaks.log 2>&1 ||
    { cat swaks.log >&2; fail "swaks could not send to $to"; }
}

# Waits until the mailbox holds COUNT messages (read over IMAPS).
wait_for_count() {
  local count=$1 deadline=$((SECONDS + WAIT_S)) exists=""
  while ((SECONDS < deadline)); do
    exists=$(curl_tls imaps "$DIRAVID_IMAPS_PORT" INBOX -X 'EXAMINE INBOX' 2>/dev/null |
      sed -n 's/^\* \([0-9]*\) EXISTS.*/\1/p' | tr -d '\r')
    [[ $exists == "$count" ]] && return 0
    sleep 0.2
  done
  fail "mailbox holds '${exists}' messages, expected $count"
}

case_delivery_read_by_imaps_and_pop3s() {
  create_user || return 1
  local token=Probe-$$-$RANDOM
  send_mail "$USER_NAME@$DIRAVID_MAIL_DOMAIN" "$token" || return 1
  wait_for_count 1 || return 1
  curl_tls imaps "$DIRAVID_IMAPS_PORT" 'INBOX;UID=1' >imap.txt || fail "IMAPS fetch failed" || return 1
  grep -q "^Subject: $token" imap.txt || fail "IMAPS: mail without subject $token" || return 1
  grep -q "Inhalt $token" imap.txt || fail "IMAPS: mail without body" || return 1
  curl_tls pop3s "$DIRAVID_POP3S_PORT" 1 >pop3.txt || fail "POP3S RETR failed" || return 1
  grep -q "^Subject: $token" pop3.txt || fail "POP3S: mail without subject $token"
}

case_other_domains_reach_the_same_mailbox() {
  create_user || return 1
  local token=Fremd-$$-$RANDOM
  send_mail "$USER_NAME@feuerwehr.example" "$token" || return 1
  wait_for_count 1 || return 1
  curl_tls pop3s "$DIRAVID_POP3S_PORT" 1 | grep -q "^Subject: $token" ||
    fail "mail to another domain did not reach the mailbox"
}

case_smtp_offers_starttls_and_auth_only_after_it() {
  local ehlo
  ehlo=$(talk "$HOST" "$DIRAVID_SMTP_PORT" "EHLO test" QUIT)
  grep -q '^250[- ]STARTTLS' <<<"$ehlo" || fail "no STARTTLS on the SMTP port" || return 1
  ! grep -q '^250[- ]AUTH' <<<"$ehlo" || fail "AUTH offered before TLS on the SMTP port" || return 1
  local size
  size=$(sed -n 's/^250[- ]SIZE \([0-9]*\)/\1/p' <<<"$ehlo")
  ((size >= 70 * 1024 * 1024)) || fail "SIZE $size is too small for 50 MB of attachments"
}

case_smtp_notls_offers_auth_without_starttls() {
  local ehlo
  ehlo=$(talk "$HOST" "$DIRAVID_SMTP_NOTLS_PORT" "EHLO test" QUIT)
  grep -q '^250' <<<"$ehlo" || fail "no EHLO answer" || return 1
  ! grep -q 'STARTTLS' <<<"$ehlo" || fail "STARTTLS offered on the NOTLS port" || return 1
  grep -q '^250[- ]AUTH.*LOGIN' <<<"$ehlo" || fail "no AUTH LOGIN on the NOTLS port"
}

# A relay that admits by address: no login offered, no TLS, small mails only.
case_smtp_relay_offers_no_auth_and_a_small_size() {
  local ehlo
  ehlo=$(talk "$HOST" "${DIRAVID_SMTP_RELAY_PORT:?no relay port in this sandbox}" "EHLO test" QUIT)
  grep -q '^250' <<<"$ehlo" || fail "no EHLO answer" || return 1
  ! grep -q 'AUTH' <<<"$ehlo" || fail "AUTH offered on the relay port" || return 1
  ! grep -q 'STARTTLS' <<<"$ehlo" || fail "STARTTLS offered on the relay port" || return 1
  grep -q '^250[- ]SIZE 65536$' <<<"$ehlo" || fail "the relay port's SIZE is not 65536"
}

case_imap_starttls_only_on_the_tls_host() {
  talk "$HOST" "$DIRAVID_IMAP_PORT" "a CAPABILITY" "b LOGOUT" | grep -q '^\* CAPABILITY.* STARTTLS' ||
    fail "no STARTTLS on $HOST" || return 1
  local notls
  notls=$(talk "$NOTLS" "$DIRAVID_IMAP_PORT" "a CAPABILITY" "b LOGOUT")
  grep -q '^\* CAPABILITY' <<<"$notls" || fail "no CAPABILITY answer on $NOTLS" || return 1
  ! grep -q 'STARTTLS' <<<"$notls" || fail "STARTTLS offered on $NOTLS"
}

case_pop3_stls_only_on_the_tls_host() {
  talk "$HOST" "$DIRAVID_POP3_PORT" CAPA QUIT | grep -qx 'STLS' || fail "no STLS on $HOST" || return 1
  local notls
  notls=$(talk "$NOTLS" "$DIRAVID_POP3_PORT" CAPA QUIT)
  grep -qx 'USER' <<<"$notls" || fail "no CAPA answer on $NOTLS" || return 1
  ! grep -qx 'STLS' <<<"$notls" || fail "STLS offered on $NOTLS"
}

case_plain_login_without_tls_on_the_notls_host() {
  create_user || return 1
  curl -sS --max-time 10 --user "$USER_NAME:$PASSWORD" "pop3://$NOTLS:$DIRAVID_POP3_PORT/" >/dev/null ||
    fail "POP3 login without TLS on $NOTLS refused" || return 1
  curl -sS --max-time 10 --user "$USER_NAME:$PASSWORD" "imap://$NOTLS:$DIRAVID_IMAP_PORT/INBOX" \
    -X 'EXAMINE INBOX' >/dev/null || fail "IMAP login without TLS on $NOTLS refused"
}

case_smtps_answers_with_implicit_tls() {
  local greeting
  greeting=$( (sleep 1; echo QUIT) | timeout 10 openssl s_client -quiet -connect "$HOST:$DIRAVID_SMTPS_PORT" 2>/dev/null | head -1)
  [[ $greeting == 220* ]] || fail "no SMTP greeting inside TLS on the SMTPS port: '$greeting'"
}

case_main_ports_refuse_tls_below_1_2() {
  local old
  old=$(tls_protocol -connect "$HOST:$DIRAVID_SMTP_PORT" -starttls smtp -tls1_1 -cipher 'DEFAULT:@SECLEVEL=0')
  [[ -z $old ]] || fail "SMTP port accepted $old" || return 1
  local new
  new=$(tls_protocol -connect "$HOST:$DIRAVID_IMAPS_PORT")
  [[ $new == TLSv1.[23] ]] || fail "IMAPS negotiated '$new'"
}

case_tls10_port_serves_only_tls_1_0_and_1_1() {
  if [[ -z ${DIRAVID_SMTP_TLS10_PORT:-} ]]; then
    echo "no TLS 1.0 port here (OpenSSL cannot serve it)"
    return 0
  fi
  local got
  got=$(tls_protocol -connect "$HOST:$DIRAVID_SMTP_TLS10_PORT" -starttls smtp -tls1 -cipher 'DEFAULT:@SECLEVEL=0')
  [[ $got == TLSv1 ]] || fail "TLS 1.0 handshake gave '$got'" || return 1
  got=$(tls_protocol -connect "$HOST:$DIRAVID_SMTP_TLS10_PORT" -starttls smtp -tls1_2)
  [[ -z $got ]] || fail "TLS10 port accepted $got"
}

case_certificate_verifies_for_localhost() {
  echo | timeout 10 openssl s_client -connect "$HOST:$DIRAVID_POP3S_PORT" -CAfile "$DIRAVID_MAIL_CERT" \
    -verify_hostname "$DIRAVID_MAIL_DOMAIN" -verify_return_error >/dev/null 2>&1 ||
    fail "certificate does not verify against DIRAVID_MAIL_CERT for $DIRAVID_MAIL_DOMAIN"
}

# A sandbox of its own: restarts must keep ports and mail, and stop must end
# every process it started.
case_own_sandbox_restarts_and_stops_cleanly() {
  local dir=$PWD/own script=$DIRAVID_MAIL_SCRIPT
  "$script" start "$dir" >start.log 2>&1 || { cat start.log >&2; fail "own sandbox did not start"; } || return 1
  local ports run ready
  ports=$(<"$dir/ports")
  run=$(<"$dir/run")
  # The ready user's mail must survive the restarts as well as any other.
  ready=$(
    # shellcheck disable=SC1091
    source "$dir/env"
    swaks --server "$HOST" --port "$DIRAVID_SMTP_NOTLS_PORT" --auth PLAIN \
      --auth-user "$DIRAVID_MAIL_USER" --auth-password "$DIRAVID_MAIL_PASSWORD" \
      --from "$DIRAVID_MAIL_USER@localhost" --to "$DIRAVID_MAIL_USER@localhost" \
      --timeout 10 >swaks.log 2>&1 && echo "$DIRAVID_MAIL_USER"
  ) || { "$script" stop "$dir"; fail "mail into the own sandbox failed"; } || return 1
  local target
  for target in postfix dovecot ""; do
    "$script" restart "$dir" $target >>start.log 2>&1 ||
      { cat start.log >&2; "$script" stop "$dir"; fail "restart $target failed"; } || return 1
  done
  [[ $(<"$dir/ports") == "$ports" ]] || { "$script" stop "$dir"; fail "ports changed on restart"; } || return 1
  local deadline=$((SECONDS + WAIT_S)) count=0
  while ((SECONDS < deadline)); do
    count=$(find "$run/mail/$ready/Maildir/new" "$run/mail/$ready/Maildir/cur" -type f 2>/dev/null | wc -l)
    ((count == 1)) && break
    sleep 0.2
  done
  ((count == 1)) || { "$script" stop "$dir"; fail "mail did not survive the restarts ($count)"; } || return 1
  # Every process of this sandbox: the two masters and their children.
  local -a pids=()
  local master
  for master in "$run/dovecot/master.pid" "$run/postfix-queue/pid/master.pid"; do
    master=$(tr -d ' \n' <"$master")
    pids+=("$master")
    mapfile -t -O "${#pids[@]}" pids < <(ps -o pid= --ppid "$master" | tr -d ' ')
  done
  ((${#pids[@]} >= 4)) || fail "too few server processes found: ${pids[*]}" || return 1
  "$script" stop "$dir" || fail "stop failed" || return 1
  local pid state
  for pid in "${pids[@]}"; do
    state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d' ' -f1)
    [[ -z $state || $state == Z ]] || fail "process $pid still runs after stop" || return 1
  done
  [[ ! -e $run ]] || fail "run folder $run left behind"
}

CASES=(
  delivery_read_by_imaps_and_pop3s
  other_domains_reach_the_same_mailbox
  smtp_offers_starttls_and_auth_only_after_it
  smtp_notls_offers_auth_without_starttls
  smtp_relay_offers_no_auth_and_a_small_size
  imap_starttls_only_on_the_tls_host
  pop3_stls_only_on_the_tls_host
  plain_login_without_tls_on_the_notls_host
  smtps_answers_with_implicit_tls
  main_ports_refuse_tls_below_1_2
  tls10_port_serves_only_tls_1_0_and_1_1
  certificate_verifies_for_localhost
  own_sandbox_restarts_and_stops_cleanly
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

selected=("${CASES[@]}")
[[ ${1:-all} != all ]] && selected=("$1")
failed=0
for name in "${selected[@]}"; do
  if ! declare -F "case_$name" >/dev/null; then
    echo "unknown case: $name" >&2
    exit 2
  fi
  if "case_$name"; then
    echo "ok   $name"
  else
    echo "FAIL $name"
    failed=$((failed + 1))
  fi
done
((failed == 0))
