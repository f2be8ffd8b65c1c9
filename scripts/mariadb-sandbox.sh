#!/usr/bin/env bash
# A throwaway MariaDB server on 127.0.0.1 for the tests, the benchmark and
# ./run.sh. Everything it owns lives below one folder; nothing else is touched.
#
#   mariadb-sandbox.sh start DIR [--from TEMPLATE]
#                                    initialise DIR (first time), start the server
#                                    on a free port, wait for it, write DIR/env;
#                                    with --from a new DIR gets a copy of the data
#                                    folder installed once in TEMPLATE
#   mariadb-sandbox.sh stop DIR      stop it and wait until it is gone
#   mariadb-sandbox.sh restart DIR   stop and start again: same port, same data
#   mariadb-sandbox.sh fixture DIR DBNAME [--old] [--demo LF_NR_PATH]
#                                    (re)create DBNAME with the incident tables;
#                                    --old leaves out the two status columns,
#                                    --demo adds an active incident and the
#                                    attachment-folder option
#   mariadb-sandbox.sh drop DIR DBNAME    drop the database DBNAME
#   mariadb-sandbox.sh sql DIR [DBNAME [CLIENT OPTIONS...]]
#                                    run SQL from standard input as root
#   mariadb-sandbox.sh ini DIR DBNAME    print the [Database] section of a
#                                    diravid.ini that uses DBNAME on this server
#
# DIR/env exports DIRAVID_TEST_DB_HOST, _PORT, _USER, _PASSWORD, _SANDBOX and
# _SCRIPT. Root logs in over TCP with a password, like on a real installation.
set -euo pipefail

SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
# shellcheck source=scripts/sandbox-ports.sh
source "$(dirname "$SCRIPT")/sandbox-ports.sh"
SCHEMA_DIR=$(dirname "$SCRIPT")/schema

# A start that needs longer than this is broken, not slow.
readonly START_TIMEOUT_S=60
# mariadbd flushes InnoDB on shutdown; give it time before killing it.
readonly STOP_TIMEOUT_S=60
# A busy or unlucky port is retried this many times with another one.
readonly PORT_ATTEMPTS=20

die() { echo "mariadb-sandbox: $*" >&2; exit 1; }

usage() {
  sed -n '5,24p' "$SCRIPT" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

find_tool() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null 2>&1; then command -v "$name"; return 0; fi
    if [[ -x /usr/sbin/$name ]]; then echo "/usr/sbin/$name"; return 0; fi
  done
  die "none of these programs found: $* (package mariadb-server / mariadb-client)"
}

# Whether a process still runs. A server that has exited stays a zombie
# until whoever adopted it reaps it, which can take seconds; it holds no
# port, files or locks any more, so it counts as gone.
running() {
  local pid=$1 stat
  kill -0 "$pid" 2>/dev/null || return 1
  stat=$(<"/proc/$pid/stat") 2>/dev/null || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z ]]
}

server_pid() {
  local dir=$1
  [[ -s $dir/mariadbd.pid ]] || return 1
  local pid
  pid=$(<"$dir/mariadbd.pid")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  running "$pid" || return 1
  echo "$pid"
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Runs the command-line client as root over TCP; the password goes through
# the environment so it never shows in the process list.
client() {
  local dir=$1; shift
  local port password
  port=$(<"$dir/port")
  password=$(<"$dir/password")
  MYSQL_PWD=$password "$(find_tool mariadb mysql)" --no-defaults --protocol=TCP \
    -h 127.0.0.1 -P "$port" -u root --default-character-set=utf8mb4 "$@"
}

# Local root login through the server's own socket, used only once to set
# the password on a fresh data folder.
socket_client() {
  local dir=$1; shift
  "$(find_tool mariadb mysql)" --no-defaults --protocol=SOCKET -S "$dir/mariadbd.sock" \
    -u root "$@"
}

write_env() {
  local dir=$1
  cat >"$dir/env" <<EOF
export DIRAVID_TEST_DB_HOST=127.0.0.1 DIRAVID_TEST_DB_PORT=$(<"$dir/port") DIRAVID_TEST_DB_USER=root DIRAVID_TEST_DB_PASSWORD=$(<"$dir/password") DIRAVID_TEST_DB_SANDBOX=$dir DIRAVID_TEST_DB_SCRIPT=$SCRIPT
EOF
}

# Starts mariadbd on the given port; returns 1 when it died before accepting
# connections (typically: the port was taken meanwhile).
launch() {
  local dir=$1 port=$2
  local -a user_opt=()
  [[ $(id -u) -eq 0 ]] && user_opt=(--user=root)
  rm -f "$dir/mariadbd.pid"
  mkdir -p "$dir/tmp"
  # Small buffers and lazy flushing: this server holds test data only.
  setsid "$(find_tool mariadbd mysqld)" --no-defaults \
    --datadir="$dir/data" --socket="$dir/mariadbd.sock" --pid-file="$dir/mariadbd.pid" \
    --tmpdir="$dir/tmp" --log-error="$dir/error.log" --port="$port" --bind-address=127.0.0.1 \
    --skip-name-resolve --skip-log-bin --character-set-server=utf8mb4 \
    --collation-server=utf8mb4_general_ci --innodb-buffer-pool-size=32M \
    --innodb-log-file-size=16M --innodb-flush-log-at-trx-commit=0 \
    --innodb-doublewrite=0 --max-connections=200 "${user_opt[@]}" \
    </dev/null >>"$dir/error.log" 2>&1 &
  local launcher=$!
  local waited=0
  while ((waited < START_TIMEOUT_S * 10)); do
    if ! kill -0 "$launcher" 2>/dev/null; then
      return 1
    fi
    # Ready means: its own pid file written and a login answered (through
    # the socket before the password is set, over TCP afterwards).
    if server_pid "$dir" >/dev/null && port_in_use "$port"; then
      if socket_client "$dir" -e 'SELECT 1' >/dev/null 2>&1 ||
         client "$dir" -e 'SELECT 1' >/dev/null 2>&1; then
        return 0
      fi
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -KILL "$launcher" 2>/dev/null || true
  die "server did not accept connections within ${START_TIMEOUT_S}s, see $dir/error.log"
}

# Installs a data folder in TEMPLATE once (root password set, server shut
# down cleanly) and copies it to DIR. Servers started side by side wait for
# the one that installs it.
copy_template() {
  local template=$1 dir=$2
  mkdir -p "$template"
  template=$(cd "$template" && pwd)
  local lock
  exec {lock}>"$template/lock"
  flock "$lock"
  if [[ ! -e $template/ready ]]; then
    rm -rf "$template/data" "$template/port" "$template/password"
    (cmd_start "$template") || die "template installation failed in $template"
    cmd_stop "$template"
    # The copies choose ports of their own.
    rm -f "$template/port" "$template/env"
    touch "$template/ready"
  fi
  exec {lock}>&-
  cp -a --reflink=auto "$template/data" "$dir/data"
  cp "$template/password" "$dir/password"
}

cmd_start() {
  local dir=$1 template=${2:-}
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if server_pid "$dir" >/dev/null; then
    write_env "$dir"
    return 0
  fi
  local fresh=0
  if [[ ! -d $dir/data/mysql && -n $template ]]; then
    copy_template "$template" "$dir"
  fi
  if [[ ! -d $dir/data/mysql ]]; then
    fresh=1
    local -a user_opt=()
    [[ $(id -u) -eq 0 ]] && user_opt=(--user=root)
    # A private temporary folder: bootstrap servers started side by side
    # would otherwise clash over their temporary tables in /tmp.
    mkdir -p "$dir/tmp"
    "$(find_tool mariadb-install-db mysql_install_db)" --no-defaults --datadir="$dir/data" \
      --tmpdir="$dir/tmp" --auth-root-authentication-method=normal --skip-test-db "${user_opt[@]}" \
      >"$dir/install.log" 2>&1 || die "mariadb-install-db failed, see $dir/install.log"
    # The password must survive a shell `source` of DIR/env unquoted.
    head -c 18 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' >"$dir/password"
  fi
  local attempt port fixed=0
  # A port kept from an earlier start (a restart) must stay; one chosen here
  # may be given up for another when someone takes it first.
  [[ -s $dir/port ]] && fixed=1
  for ((attempt = 0; attempt < PORT_ATTEMPTS; attempt++)); do
    if [[ -s $dir/port ]]; then
      port=$(<"$dir/port")
    else
      port=$(random_listen_port)
      port_in_use "$port" && continue
      echo "$port" >"$dir/port"
    fi
    if launch "$dir" "$port"; then
      break
    fi
    # A fixed port (restart) that is taken is an error, not a reason to move.
    if ((fixed)); then
      die "server did not start on port $port, see $dir/error.log"
    fi
    rm -f "$dir/port"
  done
  server_pid "$dir" >/dev/null || die "server did not start, see $dir/error.log"
  if ((fresh)); then
    local password
    password=$(<"$dir/password")
    socket_client "$dir" <<EOF
CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';
CREATE USER IF NOT EXISTS 'root'@'%';
ALTER USER 'root'@'localhost' IDENTIFIED BY '$password';
ALTER USER 'root'@'127.0.0.1' IDENTIFIED BY '$password';
ALTER USER 'root'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO 'root'@'%' WITH GRANT OPTION;
FLUSH PRIVILEGES;
EOF
  fi
  client "$dir" -e 'SELECT 1' >/dev/null || die "root login over TCP failed"
  write_env "$dir"
}

cmd_stop() {
  local dir=$1
  [[ -d $dir ]] || return 0
  local pid
  pid=$(server_pid "$dir") || { rm -f "$dir/mariadbd.pid"; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  local waited=0
  while running "$pid"; do
    if ((waited >= STOP_TIMEOUT_S * 50)); then
      kill -KILL "$pid" 2>/dev/null || true
    fi
    sleep 0.02
    waited=$((waited + 1))
  done
  rm -f "$dir/mariadbd.pid"
}

# Single quotes doubled and backslashes doubled: a Windows path such as
# D:\Anlagen must reach the table unchanged.
sql_literal() {
  local value=${1//\\/\\\\}
  value=${value//\'/\'\'}
  printf "'%s'" "$value"
}

check_db_name() {
  [[ $1 =~ ^[A-Za-z0-9_]{1,64}$ ]] || die "database name must be letters, digits or _ (at most 64): $1"
}

cmd_fixture() {
  local dir=$1 db=$2; shift 2
  local old=0 demo=0 lf_path=""
  while (($#)); do
    case $1 in
      --old) old=1; shift ;;
      --demo) (($# >= 2)) || die "--demo needs the LF_NR_PATH value"; demo=1; lf_path=$2; shift 2 ;;
      *) die "unknown fixture option: $1" ;;
    esac
  done
  check_db_name "$db"
  server_pid "$dir" >/dev/null || die "no server running in $dir"
  {
    echo "DROP DATABASE IF EXISTS \`$db\`;"
    echo "CREATE DATABASE \`$db\` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;"
    echo "USE \`$db\`;"
    cat "$SCHEMA_DIR/incident_tables.sql"
    ((old)) || cat "$SCHEMA_DIR/diravid_status_columns.sql"
    if ((demo)); then
      cat "$SCHEMA_DIR/demo_incident.sql"
      echo "INSERT INTO OPTIONEN (NAME, WERT) VALUES ('LF_NR_PATH', $(sql_literal "$lf_path"));"
    fi
  } | client "$dir"
}

cmd_drop() {
  local dir=$1 db=$2
  check_db_name "$db"
  server_pid "$dir" >/dev/null || return 0
  echo "DROP DATABASE IF EXISTS \`$db\`;" | client "$dir"
}

cmd_sql() {
  local dir=$1 db=${2:-}
  (($# >= 2)) && shift 2 || shift $#
  server_pid "$dir" >/dev/null || die "no server running in $dir"
  if [[ -n $db ]]; then
    check_db_name "$db"
    client "$dir" "$@" "$db"
  else
    client "$dir" "$@"
  fi
}

cmd_ini() {
  local dir=$1 db=$2
  check_db_name "$db"
  [[ -s $dir/env ]] || die "no server was started in $dir"
  (
    # shellcheck disable=SC1091
    source "$dir/env"
    printf '[Database]\nDatabase=%s\nHostname=%s\nPort=%s\nUser=%s\nPasswort=%s\n' "$db" \
      "$DIRAVID_TEST_DB_HOST" "$DIRAVID_TEST_DB_PORT" "$DIRAVID_TEST_DB_USER" "$DIRAVID_TEST_DB_PASSWORD"
  )
}

(($# >= 2)) || usage
command=$1
dir=$2
shift 2
case $command in
  start)
    if (($# == 2)) && [[ $1 == --from ]]; then
      cmd_start "$dir" "$2"
    else
      (($# == 0)) || usage
      cmd_start "$dir"
    fi
    ;;
  stop) (($# == 0)) || usage; cmd_stop "$dir" ;;
  restart) (($# == 0)) || usage; cmd_stop "$dir"; cmd_start "$dir" ;;
  fixture) (($# >= 1)) || usage; cmd_fixture "$dir" "$@" ;;
  drop) (($# == 1)) || usage; cmd_drop "$dir" "$1" ;;
  sql) cmd_sql "$dir" "$@" ;;
  ini) (($# == 1)) || usage; cmd_ini "$dir" "$1" ;;
  *) usage ;;
esac
