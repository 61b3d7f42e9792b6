#!/usr/bin/env bash
# Brings up the multi-instance setup on this machine for a trial, all on
# 127.0.0.1: a PostgreSQL cluster in a temporary folder, a database holding
# the demo's sample catalog (one user, one install list) and an account of
# the web console, N qvserver instances on that database, and nginx in front
# of them (deploy/nginx.conf.in: business calls balanced over the
# instances, files served by nginx). Prints
# the addresses to give qvinit, then waits; Ctrl-C (or SIGTERM) stops
# everything and removes the temporary folder.
#
#   deploy/trial.sh [--instances N] [--port PORT] [--sqlite] [--qvserver FILE] [--keep]
#
#   --instances N    how many qvserver instances (default 2)
#   --port PORT      nginx's port on 127.0.0.1 (default: a free one)
#   --sqlite         one SQLite file shared by the instances instead of
#                    PostgreSQL (the instances then share one machine)
#   --qvserver FILE  the qvserver program (default: $QVSERVER, then
#                    build/qvserver beside this folder, then PATH)
#   --keep           leave the temporary folder (logs, database) behind
#
# Needs Debian's nginx and, without --sqlite, postgresql. Run as root, the
# cluster runs as the "postgres" system user; otherwise as the caller.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
instances=2
port=""
sqlite=0
keep=0
qvserver=${QVSERVER:-}

usage() { sed -n '2,22p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --instances) instances=${2:?}; shift 2 ;;
    --port) port=${2:?}; shift 2 ;;
    --sqlite) sqlite=1; shift ;;
    --qvserver) qvserver=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "trial: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
case "$instances" in ''|*[!0-9]*|0) echo "trial: --instances wants a number above 0" >&2; exit 2 ;; esac

say() { echo "trial: $*" >&2; }
die() { say "$*"; exit 1; }

if [ -z "$qvserver" ]; then
  if [ -x "$here/../build/qvserver" ]; then qvserver=$(cd "$here/../build" && pwd)/qvserver
  else qvserver=$(command -v qvserver || true); fi
fi
[ -n "$qvserver" ] && [ -x "$qvserver" ] || die "no qvserver program (build it, or give --qvserver FILE)"
nginx=/usr/sbin/nginx
[ -x "$nginx" ] || die "$nginx is missing (apt-get install nginx)"

work=$(mktemp -d "${TMPDIR:-/tmp}/qvtrial.XXXXXX")
# nginx's workers (nobody, when started as root) and the cluster's owner
# pass through to their own parts.
chmod 711 "$work"
pids=()
pg_ctl=""
pg_data=""
as_pg=()

stop_all() {
  trap - INT TERM EXIT
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$pg_ctl" ]; then "${as_pg[@]}" "$pg_ctl" -D "$pg_data" -m fast -w stop >/dev/null 2>&1 || true; fi
  if [ "$keep" = 1 ]; then say "left $work"; else rm -rf "$work"; fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
}

# Waits until something accepts connections on 127.0.0.1:$1 (10 s at most)
# while process $2 runs.
wait_for_port() {
  local i
  for i in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# ---- the database -----------------------------------------------------------

start_postgresql() {
  local bin
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$bin" ] && [ -x "$bin/initdb" ] || die "PostgreSQL is missing (apt-get install postgresql), or use --sqlite"
  pg_ctl="$bin/pg_ctl"
  pg_data="$work/pg/data"
  mkdir -p "$work/pg"
  if [ "$(id -u)" -eq 0 ]; then
    # The server refuses to run as root: the cluster belongs to postgres.
    id postgres >/dev/null 2>&1 || die "no postgres system user to run the cluster as"
    chown postgres: "$work/pg"
    as_pg=(runuser -u postgres --)
  fi
  local password
  password=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
  printf '%s\n' "$password" >"$work/pg/password"
  chmod 600 "$work/pg/password"
  [ ${#as_pg[@]} -eq 0 ] || chown postgres: "$work/pg/password"
  "${as_pg[@]}" "$bin/initdb" -D "$pg_data" -U qv --pwfile="$work/pg/password" \
    --auth=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$work/pg/initdb.log" 2>&1 ||
    die "initdb failed: $(tail -n 5 "$work/pg/initdb.log")"
  local attempt pg_port=""
  for attempt in 1 2 3 4 5; do
    pg_port=$(free_port)
    if "${as_pg[@]}" "$pg_ctl" -D "$pg_data" -l "$work/pg/server.log" -w -t 20 \
      -o "-c listen_addresses=127.0.0.1 -p $pg_port -k $work/pg" start >/dev/null 2>&1; then
      break
    fi
    pg_port=""
  done
  [ -n "$pg_port" ] || die "PostgreSQL did not start: $(tail -n 5 "$work/pg/server.log")"
  # libpq takes the password from the environment, which keeps it off the
  # command lines that other users can see.
  export PGPASSWORD=$password
  "$bin/createdb" -h 127.0.0.1 -p "$pg_port" -U qv qvserver || die "cannot make the database"
  db="postgresql://qv@127.0.0.1:$pg_port/qvserver"
  say "PostgreSQL $("$bin/postgres" --version | awk '{print $3}') on 127.0.0.1:$pg_port (data in $pg_data)"
}

if [ "$sqlite" = 1 ]; then
  db="$work/qvserver.db"
  store="one SQLite file"
else
  start_postgresql
  store="PostgreSQL"
fi

# ---- the catalog --------------------------------------------------------------

read -r key_name login password < <("$qvserver" sample "$work/catalog") ||
  die "cannot write the sample catalog"
files="$work/catalog/files"
"$qvserver" init "$db" ||
  die "cannot make the database${pg_ctl:+ on PostgreSQL (does this qvserver have the PostgreSQL store? try --sqlite)}"
printf '%s\n' "$password" | "$qvserver" user add "$db" "$key_name" "$login"
"$qvserver" list import "$db" "$key_name" "$work/catalog/installlist.rst" --files "$files"
# An account of the web console, with a password made for this trial.
console_password=$(head -c 12 /dev/urandom | base64 | tr '+/' '-_')
printf '%s\n' "$console_password" | "$qvserver" admin add "$db" admin

# ---- the instances ------------------------------------------------------------

upstreams=""
for i in $(seq "$instances"); do
  out="$work/qvserver-$i.log"
  "$qvserver" serve "$db" --files "$files" --listen 127.0.0.1:0 --trusted-proxy 127.0.0.1 >"$out" 2>&1 &
  pids+=($!)
  address=""
  for _ in $(seq 200); do
    address=$(sed -n 's|^listening on http://||p' "$out")
    [ -n "$address" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || die "instance $i did not start: $(cat "$out")"
    sleep 0.05
  done
  [ -n "$address" ] || die "instance $i did not start in time"
  say "instance $i (pid ${pids[-1]}) on $address"
  upstreams+="server $address max_fails=1 fail_timeout=5s;"$'\n    '
done

# ---- nginx --------------------------------------------------------------------

prefix="$work/nginx"
mkdir -p "$prefix"
started=""
for attempt in 1 2 3 4 5; do
  listen_port=${port:-$(free_port)}
  sed -e "s|@PREFIX@|$prefix|g" -e "s|@LISTEN@|127.0.0.1:$listen_port|g" \
    -e "s|@FILES@|$files|g" "$here/nginx.conf.in" |
    awk -v u="$upstreams" '{ sub(/@UPSTREAMS@/, u); print }' >"$prefix/nginx.conf"
  "$nginx" -p "$prefix" -e "$prefix/error.log" -c "$prefix/nginx.conf" >>"$prefix/output.log" 2>&1 &
  nginx_pid=$!
  if wait_for_port "$listen_port" "$nginx_pid"; then
    pids+=("$nginx_pid")
    started=1
    break
  fi
  kill -TERM "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  [ -z "$port" ] || break
done
[ -n "$started" ] || die "nginx did not start: $(tail -n 5 "$prefix/error.log" 2>/dev/null)"

url="http://127.0.0.1:$listen_port"
qvinit=$(dirname "$qvserver")/qvinit
[ -x "$qvinit" ] || qvinit=qvinit
cat <<EOF

The trial runs: nginx on $url, $instances qvserver instance(s) on $store.
  downloads        $url/
  business calls   $url/bo
  key name, login  $key_name $login (password: $password)
  web console      $url/console (name: admin, password: $console_password)
  database         $db${pg_ctl:+ (password: PGPASSWORD=\$(cat $work/pg/password))}
  files            $files
Install the sample catalog onto a fresh sandbox machine (its programs are the sample's own
scripts, which the machine runs) with:
  $qvinit machine init /tmp/trial-machine --run-programs
  echo $password | $qvinit --machine /tmp/trial-machine --headless --password-stdin \\
      startup-v2 $url/ $url/bo $key_name $login 127.0.0.1
Logs are in $work. Ctrl-C stops everything.
EOF

# Waits until a signal comes or a process of the trial ends.
while :; do
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || die "process $pid ended; stopping the trial"
  done
  sleep 1
done
