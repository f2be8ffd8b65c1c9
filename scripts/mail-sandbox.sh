#!/usr/bin/env bash
# Real mail servers on loopback for the tests: a Dovecot (IMAP, POP3, LMTP,
# SASL) and a private Postfix instance that delivers to it. Nothing leaves
# the machine, and no system mail service is used or disturbed.
#
#   mail-sandbox.sh start DIR        set up (first time) and start Dovecot and
#                                    Postfix on free ports, wait until every
#                                    port answers, write DIR/env
#   mail-sandbox.sh stop DIR         stop exactly what start started (Postfix
#                                    first), remove the run folder
#   mail-sandbox.sh restart DIR [dovecot|postfix]
#                                    stop and start again: same ports, same data
#   mail-sandbox.sh user DIR NAME PASSWORD
#                                    add the mailbox user NAME, reachable as
#                                    NAME@localhost (an existing one is reset:
#                                    new password, empty mailbox)
#
# DIR keeps the ports and DIR/env; everything the servers touch (their
# configuration, sockets, queue, mailboxes, logs, certificate) lives in a run
# folder with a short path in /tmp, because Unix socket names are short and
# the servers' own users must be able to reach every parent folder. Mail to
# NAME@any.domain is delivered to the mailbox NAME.
# When DIR/data is a folder, the mailboxes and the users live there instead
# and outlive a stop (a local system that keeps its mail); every parent
# folder of it must then be open to the dovecot user.
# OAuth 2.0: when DIRAVID_MAIL_OAUTH_INTROSPECT names a token introspection
# address (http://127.0.0.1:PORT/introspect) at the first start, it is kept in
# DIR/oauth, and Dovecot (and Postfix through Dovecot's SASL) also accept
# XOAUTH2 and OAUTHBEARER with tokens that address calls active; a token's
# "username" must be the mailbox user.
set -euo pipefail

SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
# shellcheck source=scripts/sandbox-ports.sh
source "$(dirname "$SCRIPT")/sandbox-ports.sh"

readonly HOST=127.0.0.1
# Dovecot serves the same IMAP/POP3 ports here without any TLS.
readonly HOST_NOTLS=127.0.0.2
readonly DOMAIN=localhost
readonly PORT_NAMES=(SMTP SMTP_NOTLS SMTP_TLS10 SMTPS SMTP_RELAY IMAP IMAPS POP3 POP3S)
# A start that needs longer than this is broken, not slow.
readonly START_TIMEOUT_S=30
# Dovecot and Postfix stop within a second or two; kill what is left after this.
readonly STOP_TIMEOUT_S=20
# A busy or unlucky set of ports is retried this many times with another one.
readonly PORT_ATTEMPTS=10
# 50 MB of attachments grow by a third in base64, plus headers.
readonly MESSAGE_SIZE_LIMIT=$((100 * 1024 * 1024))
# The relay listener takes small mails only, so a test can be refused for size.
readonly RELAY_MESSAGE_SIZE_LIMIT=$((64 * 1024))
readonly DOVECOT_DH=/usr/share/dovecot/dh.pem

die() { echo "mail-sandbox: $*" >&2; exit 1; }

usage() {
  sed -n '6,16p' "$SCRIPT" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

find_tool() {
  local name=$1 package=$2
  if command -v "$name" >/dev/null 2>&1; then command -v "$name"; return 0; fi
  if [[ -x /usr/sbin/$name ]]; then echo "/usr/sbin/$name"; return 0; fi
  die "$name not found (package $package; scripts/install-deps.sh installs it)"
}

# --- processes ----------------------------------------------------------------

pid_from_file() {
  local file=$1 pid
  [[ -s $file ]] || return 1
  read -r pid <"$file" || true
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  alive "$pid" || return 1
  echo "$pid"
}

# A daemon that has exited may stay a zombie until someone reaps it; it holds
# no port and no file then, so it counts as gone.
alive() {
  local state
  [[ -r /proc/$1/stat ]] || return 1
  state=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [[ -n $state && $state != Z && $state != X ]]
}

children_of() {
  ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true
}

wait_gone() {
  local deadline=$((SECONDS + STOP_TIMEOUT_S)) pid
  local -a left
  while :; do
    left=()
    for pid in "$@"; do alive "$pid" && left+=("$pid"); done
    ((${#left[@]})) || return 0
    if ((SECONDS >= deadline)); then
      kill -KILL "${left[@]}" 2>/dev/null || true
      sleep 0.2
      return 0
    fi
    sleep 0.05
  done
}

# --- folders and ports --------------------------------------------------------

run_dir() {
  local dir=$1 run
  [[ -s $dir/run ]] || return 1
  run=$(<"$dir/run")
  [[ -d $run ]] || return 1
  echo "$run"
}

port_in_use() {
  (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null
}

# Chooses a port for every name; with "missing", only for the names that
# DIR/ports lacks (a sandbox set up before a listener was added), keeping
# the others where they are.
choose_ports() {
  local dir=$1 only_missing=${2:-} name port
  local -A taken=() kept=()
  : >"$dir/ports.new"
  if [[ $only_missing == missing && -s $dir/ports ]]; then
    local line
    while IFS= read -r line; do
      [[ $line =~ ^PORT_([A-Z0-9_]+)=([0-9]+)$ ]] || continue
      kept[${BASH_REMATCH[1]}]=1
      taken[${BASH_REMATCH[2]}]=1
      echo "$line" >>"$dir/ports.new"
    done <"$dir/ports"
  fi
  for name in "${PORT_NAMES[@]}"; do
    [[ -z ${kept[$name]:-} ]] || continue
    while :; do
      port=$(random_listen_port)
      [[ -z ${taken[$port]:-} ]] || continue
      port_in_use "$HOST" "$port" && continue
      port_in_use "$HOST_NOTLS" "$port" && continue
      break
    done
    taken[$port]=1
    echo "PORT_$name=$port" >>"$dir/ports.new"
  done
  mv "$dir/ports.new" "$dir/ports"
}

load_ports() {
  local dir=$1
  # shellcheck disable=SC1091
  source "$dir/ports"
}

# --- configuration ------------------------------------------------------------

make_certificate() {
  local run=$1
  # Valid for the names and addresses a client may use, and its own CA.
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=$DOMAIN" \
    -addext "subjectAltName=DNS:$DOMAIN,IP:$HOST,IP:$HOST_NOTLS" \
    -keyout "$run/key.pem" -out "$run/cert.pem" >"$run/openssl.log" 2>&1 ||
    die "certificate could not be made, see $run/openssl.log"
  chmod 0600 "$run/key.pem"
  chmod 0644 "$run/cert.pem"
}

# The token check of the OAuth mechanisms, when DIR/oauth names one.
oauth_passdb() {
  local dir=$1 run=$2
  [[ -n $dir && -s $dir/oauth ]] || return 0
  cat >"$run/dovecot-oauth2.conf.ext" <<EOF
introspection_mode = post
introspection_url = $(<"$dir/oauth")
force_introspection = yes
username_attribute = username
active_attribute = active
active_value = true
EOF
  chmod 0644 "$run/dovecot-oauth2.conf.ext"
  cat <<EOF
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $run/dovecot-oauth2.conf.ext
}
EOF
}

write_dovecot_conf() {
  local run=$1 store=$2 dir=${3:-}
  local mechanisms="plain login"
  [[ -n $dir && -s $dir/oauth ]] && mechanisms+=" xoauth2 oauthbearer"
  cat >"$run/dovecot.conf" <<EOF
instance_name = kdv-$(basename "$run")
base_dir = $run/dovecot
state_dir = $run/dovecot-state
log_path = $run/dovecot.log
protocols = imap pop3 lmtp
listen = $HOST, $HOST_NOTLS
# The mail processes run as the dovecot user, whose uid is below 500.
first_valid_uid = 1
mail_uid = dovecot
mail_gid = dovecot
default_login_user = dovenull
default_internal_user = dovecot
mail_location = maildir:~/Maildir
# LMTP hands over user@localhost; the mailbox is the bare name.
auth_username_format = %Ln
auth_mechanisms = $mechanisms
# Logins without TLS are one of the cases under test.
disable_plaintext_auth = no
# Failed logins are tested on purpose: no pause after them (and no growing
# penalty either, see service anvil below).
auth_failure_delay = 0
postmaster_address = postmaster@$DOMAIN
ssl = yes
ssl_cert = <$run/cert.pem
ssl_key = <$run/key.pem
ssl_dh = <$DOVECOT_DH
ssl_min_protocol = TLSv1.2

passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%Ln $store/users/%Ln
}
$(oauth_passdb "$dir" "$run")
userdb {
  driver = static
  args = uid=dovecot gid=dovecot home=$store/mail/%Ln
}

service imap-login {
  inet_listener imap {
    address = $HOST, $HOST_NOTLS
    port = $PORT_IMAP
  }
  inet_listener imaps {
    address = $HOST
    port = $PORT_IMAPS
    ssl = yes
  }
}
service pop3-login {
  inet_listener pop3 {
    address = $HOST, $HOST_NOTLS
    port = $PORT_POP3
  }
  inet_listener pop3s {
    address = $HOST
    port = $PORT_POP3S
    ssl = yes
  }
}
service lmtp {
  unix_listener lmtp {
    mode = 0666
  }
}
service auth {
  unix_listener auth-smtp {
    mode = 0666
  }
}
# Without this socket, failed logins from one address are not slowed down
# more and more (every test comes from 127.0.0.1).
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}

local $HOST_NOTLS {
  ssl = no
}
EOF
}

write_postfix_conf() {
  local run=$1 tls10=$2
  # Queue and data stay outside the configuration folder, whose whole tree
  # Postfix expects to be owned by root.
  local conf=$run/postfix
  mkdir -p "$conf" "$run/postfix-queue" "$run/postfix-data"
  chown postfix "$run/postfix-data"
  cat >"$conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $run/postfix-queue
data_directory = $run/postfix-data
mail_owner = postfix
setgid_group = postdrop
maillog_file = $run/postfix.log
maillog_file_prefixes = $run
myhostname = $DOMAIN
mydomain = $DOMAIN
myorigin = $DOMAIN
mydestination = $DOMAIN
inet_interfaces = $HOST
inet_protocols = ipv4
mynetworks =
biff = no
alias_maps =
alias_database =
# Unknown mailboxes are refused by Dovecot at delivery.
local_recipient_maps =
local_transport = lmtp:unix:$run/dovecot/lmtp
# Every other domain is rewritten to a local mailbox (see virtual); anything
# still left for another machine fails instead of leaving it.
virtual_alias_maps = regexp:$conf/virtual
default_transport = error:this sandbox delivers to no other machine
relay_transport = error:this sandbox delivers to no other machine
message_size_limit = $MESSAGE_SIZE_LIMIT
# A delivery deferred while Dovecot restarts is tried again within seconds,
# not after the five minutes a production queue waits.
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
mailbox_size_limit = 0
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = $run/dovecot/auth-smtp
smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination
# One recipient is answered with 421 and a hang-up, as a policy service may
# do for a single mail (see recipient_access).
smtpd_recipient_restrictions = check_recipient_access regexp:$conf/recipient_access
smtpd_tls_cert_file = $run/cert.pem
smtpd_tls_key_file = $run/key.pem
smtpd_tls_security_level = may
smtpd_tls_auth_only = yes
smtpd_tls_protocols = >=TLSv1.2
smtpd_tls_mandatory_protocols = >=TLSv1.2
smtpd_tls_session_cache_database =
# Tests provoke errors on purpose; no penalty pauses.
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 100
smtpd_hard_error_limit = 200
EOF
  cat >"$conf/virtual" <<EOF
if !/@$DOMAIN\$/
/^(.+)@[^@]*\$/	\${1}@$DOMAIN
endif
EOF
  cat >"$conf/recipient_access" <<EOF
/^abbruch@/	421 4.7.0 Sitzung wird beendet
EOF
  local tls10_line="#no TLS 1.0 listener: OpenSSL here cannot serve it"
  if [[ $tls10 == yes ]]; then
    # OpenSSL 3 refuses TLS 1.0/1.1 above security level 0.
    tls10_line="$HOST:$PORT_SMTP_TLS10 inet n - n - - smtpd
  -o smtpd_tls_protocols=>=TLSv1,<=TLSv1.1
  -o smtpd_tls_mandatory_protocols=>=TLSv1,<=TLSv1.1
  -o smtpd_tls_ciphers=medium
  -o tls_medium_cipherlist=DEFAULT:@SECLEVEL=0"
  fi
  cat >"$conf/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command + args
$HOST:$PORT_SMTP inet n - n - - smtpd
$HOST:$PORT_SMTP_NOTLS inet n - n - - smtpd
  -o smtpd_tls_security_level=none
  -o smtpd_tls_auth_only=no
$tls10_line
$HOST:$PORT_SMTPS inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
$HOST:$PORT_SMTP_RELAY inet n - n - - smtpd
  -o smtpd_tls_security_level=none
  -o smtpd_sasl_auth_enable=no
  -o message_size_limit=$RELAY_MESSAGE_SIZE_LIMIT
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
  # Postfix waits until its configuration is two seconds old.
  touch -d '-1 minute' "$conf/main.cf" "$conf/master.cf" "$conf/virtual" "$conf/recipient_access"
}

# Whether this OpenSSL can still serve TLS 1.0 at all (asked once per DIR).
tls10_possible() {
  local dir=$1
  if [[ ! -s $dir/tls10 ]]; then
    if openssl ciphers -s -tls1 'DEFAULT:@SECLEVEL=0' >/dev/null 2>&1; then
      echo yes >"$dir/tls10"
    else
      echo no >"$dir/tls10"
    fi
  fi
  cat "$dir/tls10"
}

# Where the mailboxes and users live: DIR/data when it is a folder, else the
# run folder.
store_dir() {
  local dir=$1 run=$2
  if [[ -d $dir/data ]]; then echo "$dir/data"; else echo "$run"; fi
}

make_store() {
  local store=$1
  mkdir -p "$store/users" "$store/mail"
  chmod 0755 "$store/users"
  chown dovecot:dovecot "$store/mail"
}

setup_run() {
  local dir=$1 run
  run=$(mktemp -d /tmp/kdvm.XXXXXX)
  # mktemp gives 0700; Dovecot's and Postfix's users must get in.
  chmod 0755 "$run"
  make_store "$run"
  make_certificate "$run"
  echo "$run" >"$dir/run"
}

# --- servers ------------------------------------------------------------------

dovecot_pid() { pid_from_file "$1/dovecot/master.pid"; }
postfix_pid() { pid_from_file "$1/postfix-queue/pid/master.pid"; }

start_dovecot() {
  local run=$1
  dovecot_pid "$run" >/dev/null && return 0
  "$(find_tool dovecot dovecot-core)" -c "$run/dovecot.conf" >"$run/dovecot-start.log" 2>&1 9>&- ||
    return 1
  local deadline=$((SECONDS + START_TIMEOUT_S))
  # Postfix's SASL and delivery need these sockets before it takes mail.
  until dovecot_pid "$run" >/dev/null && [[ -S $run/dovecot/auth-smtp && -S $run/dovecot/lmtp ]]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.02
  done
}

start_postfix() {
  local run=$1
  postfix_pid "$run" >/dev/null && return 0
  local postfix
  postfix=$(find_tool postfix postfix)
  # postfix start tells its errors only to a terminal or syslog.
  if command -v script >/dev/null 2>&1; then
    script -qec "$postfix -c $run/postfix start" /dev/null </dev/null >"$run/postfix-start.log" 2>&1 9>&- ||
      return 1
  else
    "$postfix" -c "$run/postfix" start </dev/null >"$run/postfix-start.log" 2>&1 9>&- || return 1
  fi
  local deadline=$((SECONDS + START_TIMEOUT_S))
  until postfix_pid "$run" >/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.02
  done
}

stop_dovecot() {
  local run=$1 pid
  pid=$(dovecot_pid "$run") || return 0
  local -a children
  mapfile -t children < <(children_of "$pid")
  kill -TERM "$pid" 2>/dev/null || true
  wait_gone "$pid"
  # Its auth process stays as long as a client (Postfix) holds a connection,
  # and the log process stays for it.
  ((${#children[@]} == 0)) || kill -TERM "${children[@]}" 2>/dev/null || true
  wait_gone "${children[@]}"
  rm -f "$run/dovecot/master.pid"
}

stop_postfix() {
  local run=$1 pid
  pid=$(postfix_pid "$run") || return 0
  local -a pids=("$pid")
  mapfile -t -O 1 pids < <(children_of "$pid")
  "$(find_tool postfix postfix)" -c "$run/postfix" stop >/dev/null 2>&1 ||
    kill -TERM "$pid" 2>/dev/null || true
  wait_gone "${pids[@]}"
}

# Reads the first line a server sends and checks its start.
greets() {
  local host=$1 port=$2 expect=$3 line=""
  {
    exec 3<>"/dev/tcp/$host/$port" || return 1
    IFS= read -r -t 2 line <&3 || true
    exec 3<&-
  } 2>/dev/null
  [[ $line == "$expect"* ]]
}

# Completes a TLS handshake (implicit TLS ports answer only inside TLS).
shakes_hands() {
  timeout 5 openssl s_client -brief -connect "$1:$2" </dev/null 2>&1 |
    grep -q '^CONNECTION ESTABLISHED'
}

wait_ports() {
  local run=$1 tls10=$2
  local deadline=$((SECONDS + START_TIMEOUT_S))
  # host, port and the start of the greeting, for every plain listener.
  local -a plain=(
    "$HOST" "$PORT_SMTP" "220 "
    "$HOST" "$PORT_SMTP_NOTLS" "220 "
    "$HOST" "$PORT_SMTP_RELAY" "220 "
    "$HOST" "$PORT_IMAP" "* OK"
    "$HOST_NOTLS" "$PORT_IMAP" "* OK"
    "$HOST" "$PORT_POP3" "+OK"
    "$HOST_NOTLS" "$PORT_POP3" "+OK")
  [[ $tls10 == yes ]] && plain+=("$HOST" "$PORT_SMTP_TLS10" "220 ")
  local i port
  for ((i = 0; i < ${#plain[@]}; i += 3)); do
    until greets "${plain[i]}" "${plain[i + 1]}" "${plain[i + 2]}"; do
      ((SECONDS < deadline)) || die "no answer on ${plain[i]} ${plain[i + 1]}, see $run/*.log"
      sleep 0.05
    done
  done
  for port in "$PORT_SMTPS" "$PORT_IMAPS" "$PORT_POP3S"; do
    until shakes_hands "$HOST" "$port"; do
      ((SECONDS < deadline)) || die "no answer on $HOST $port, see $run/*.log"
      sleep 0.05
    done
  done
}

write_env() {
  local dir=$1 run=$2 tls10=$3
  local user password
  user=$(<"$dir/user")
  password=$(<"$dir/password")
  {
    printf 'export DIRAVID_MAIL_SANDBOX=%q\n' "$dir"
    printf 'export DIRAVID_MAIL_SCRIPT=%q\n' "$SCRIPT"
    echo "export DIRAVID_MAIL_HOST=$HOST"
    echo "export DIRAVID_MAIL_HOST_NOTLS=$HOST_NOTLS"
    echo "export DIRAVID_MAIL_DOMAIN=$DOMAIN"
    echo "export DIRAVID_MAIL_USER=$user"
    echo "export DIRAVID_MAIL_PASSWORD=$password"
    echo "export DIRAVID_SMTP_PORT=$PORT_SMTP"
    echo "export DIRAVID_SMTP_NOTLS_PORT=$PORT_SMTP_NOTLS"
    # Left out where OpenSSL cannot serve TLS 1.0 any more.
    if [[ $tls10 == yes ]]; then
      echo "export DIRAVID_SMTP_TLS10_PORT=$PORT_SMTP_TLS10"
    fi
    echo "export DIRAVID_SMTPS_PORT=$PORT_SMTPS"
    echo "export DIRAVID_SMTP_RELAY_PORT=$PORT_SMTP_RELAY"
    echo "export DIRAVID_IMAP_PORT=$PORT_IMAP"
    echo "export DIRAVID_IMAPS_PORT=$PORT_IMAPS"
    echo "export DIRAVID_POP3_PORT=$PORT_POP3"
    echo "export DIRAVID_POP3S_PORT=$PORT_POP3S"
    echo "export DIRAVID_MAIL_CERT=$run/cert.pem"
    if [[ -s $dir/oauth ]]; then
      printf 'export DIRAVID_MAIL_OAUTH_INTROSPECT=%q\n' "$(<"$dir/oauth")"
    fi
  } >"$dir/env.new"
  mv "$dir/env.new" "$dir/env"
}

# Starts the servers named (dovecot, postfix) on the ports in DIR/ports;
# returns 1 when one of them did not come up.
launch() {
  local dir=$1 run=$2 tls10=$3; shift 3
  local server
  for server in "$@"; do
    if ! "start_$server" "$run"; then
      return 1
    fi
  done
  wait_ports "$run" "$tls10"
}

show_logs() {
  local run=$1 file
  for file in "$run"/dovecot-start.log "$run"/dovecot.log "$run"/postfix-start.log "$run"/postfix.log; do
    [[ -s $file ]] || continue
    echo "--- $file" >&2
    tail -n 20 "$file" >&2
  done
}

# --- commands -----------------------------------------------------------------

require_root() {
  [[ $(id -u) -eq 0 ]] || die "Dovecot and Postfix must be started as root (they switch to their own users)"
  { getent passwd dovecot >/dev/null && getent passwd dovenull >/dev/null; } ||
    die "the users dovecot and dovenull are missing (package dovecot-core)"
  getent passwd postfix >/dev/null || die "the user postfix is missing (package postfix)"
  [[ -r $DOVECOT_DH ]] || die "$DOVECOT_DH is missing (package dovecot-core)"
}

cmd_start() {
  local dir=$1 servers=${2:-dovecot postfix}
  require_root
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  local tls10 run fresh=0
  tls10=$(tls10_possible "$dir")
  if [[ -n ${DIRAVID_MAIL_OAUTH_INTROSPECT:-} && ! -s $dir/oauth ]]; then
    [[ $DIRAVID_MAIL_OAUTH_INTROSPECT =~ ^https?://[^[:space:]]+$ ]] ||
      die "DIRAVID_MAIL_OAUTH_INTROSPECT is no http(s) address: $DIRAVID_MAIL_OAUTH_INTROSPECT"
    echo "$DIRAVID_MAIL_OAUTH_INTROSPECT" >"$dir/oauth"
  fi
  if [[ ! -s $dir/user ]]; then
    echo diravid >"$dir/user"
    # Must survive a shell `source` of DIR/env unquoted.
    head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' >"$dir/password"
  fi
  if ! run=$(run_dir "$dir"); then
    fresh=1
    setup_run "$dir"
    run=$(run_dir "$dir")
  fi
  local store
  store=$(store_dir "$dir" "$run")
  if [[ $store != "$run" ]]; then
    make_store "$store"
    runuser -u dovecot -- test -w "$store/mail" ||
      die "$store/mail is not reachable for the dovecot user (every parent folder needs o+x)"
  fi
  if [[ -s $dir/ports ]]; then
    choose_ports "$dir" missing
  else
    choose_ports "$dir"
  fi
  local attempt
  for ((attempt = 0; attempt < PORT_ATTEMPTS; attempt++)); do
    load_ports "$dir"
    write_dovecot_conf "$run" "$store" "$dir"
    write_postfix_conf "$run" "$tls10"
    # shellcheck disable=SC2086
    if (launch "$dir" "$run" "$tls10" $servers); then
      break
    fi
    stop_postfix "$run"
    stop_dovecot "$run"
    # Ports kept for a restart are not moved: that is an error to report.
    if ((!fresh)) || ((attempt + 1 == PORT_ATTEMPTS)); then
      show_logs "$run"
      die "servers did not start, see the logs in $run"
    fi
    choose_ports "$dir"
  done
  # Made once per run folder: a restart keeps its mail.
  if [[ ! -e $store/users/$(<"$dir/user") ]]; then
    cmd_user "$dir" "$(<"$dir/user")" "$(<"$dir/password")"
  fi
  write_env "$dir" "$run" "$tls10"
}

cmd_stop() {
  local dir=$1 run
  [[ -d $dir ]] || return 0
  run=$(run_dir "$dir") || { rm -f "$dir/run"; return 0; }
  # Postfix first: it needs Dovecot's sockets as long as it runs.
  stop_postfix "$run"
  stop_dovecot "$run"
  # The logs outlive the run folder for a look after a failed test.
  cp -f "$run"/*.log "$dir"/ 2>/dev/null || true
  rm -rf "$run"
  rm -f "$dir/run"
}

cmd_restart() {
  local dir=$1 which=${2:-}
  local run
  run=$(run_dir "$dir") || { cmd_start "$dir"; return; }
  case $which in
    "") stop_postfix "$run"; stop_dovecot "$run"; cmd_start "$dir" ;;
    dovecot) stop_dovecot "$run"; cmd_start "$dir" dovecot ;;
    postfix) stop_postfix "$run"; cmd_start "$dir" postfix ;;
    *) usage ;;
  esac
}

cmd_user() {
  local dir=$1 name=${2,,} password=$3 run
  [[ $name =~ ^[a-z0-9][a-z0-9._-]{0,63}$ ]] ||
    die "user name must be letters, digits, '.', '_' or '-' (at most 64): $2"
  [[ $password != *$'\n'* && -n $password ]] || die "password must be one non-empty line"
  run=$(run_dir "$dir") || die "no sandbox set up in $dir (start it first)"
  local store
  store=$(store_dir "$dir" "$run")
  local file=$store/users/$name encoded old_mtime=0 reset=0
  # Any byte survives the passwd-file format this way, ':' included.
  encoded=$(printf '%s' "$password" | base64 -w0)
  if [[ -e $file ]]; then
    reset=1
    old_mtime=$(stat -c %Y "$file")
  fi
  printf '%s:{PLAIN.b64}%s::::::\n' "$name" "$encoded" >"$file.new"
  chmod 0644 "$file.new"
  # Dovecot rereads a passwd file when its time or size changed; a new
  # password of the same length written within the same second must show too.
  if ((old_mtime >= $(date +%s))); then
    touch -d "@$((old_mtime + 1))" "$file.new"
  fi
  mv -f "$file.new" "$file"
  # A reset user starts like a new one: with an empty mailbox.
  rm -rf "${store:?}/mail/$name"
  # Dovecot looks at the file at most once a second: a new password counts
  # only from the next second on.
  if ((reset)); then
    local now wait_ns
    now=$(date +%s%N)
    wait_ns=$((1000000000 - 10#${now: -9} + 20000000))
    sleep "$((wait_ns / 1000000000)).$(printf '%09d' $((wait_ns % 1000000000)))"
  fi
}

(($# >= 2)) || usage
command=$1
dir=$2
shift 2
# One start, stop or restart at a time per folder. The servers must not
# inherit the descriptor (see start_dovecot), or they would hold the lock.
lock() {
  mkdir -p "$dir"
  exec 9>"$dir/sandbox.lock"
  flock 9
}

case $command in
  start) (($# == 0)) || usage; lock; cmd_start "$dir" ;;
  stop) (($# == 0)) || usage; [[ -d $dir ]] || exit 0; lock; cmd_stop "$dir" ;;
  restart) (($# <= 1)) || usage; lock; cmd_restart "$dir" "$@" ;;
  user) (($# == 2)) || usage; cmd_user "$dir" "$1" "$2" ;;
  *) usage ;;
esac
