#!/bin/bash
# A single-node Slurm cluster (munged, slurmctld, slurmd) and the page server, started in
# the network, host name, mount and process namespaces that the caller made for this
# script (unshare --net --uts --pid --fork --mount-proc, as root); the script is the first
# process there, so whatever it leaves running ends with it. In that cluster it runs the
# README's Slurm recipe, given in WORK/recipe.env, kills one task with SIGKILL and cancels
# another while they run, and submits the array once more.
#
#   slurm-cluster.sh WORK BIN_DIR RECIPES_DIR
#
# WORK/all-sites.template is the list with @PORT@ and @DEAD@ for the page server's ports.
# Left in WORK: plain.jsonl (one plain run), the recipe's files, and report.txt.
set -u
work=$1
bin=$2
here=$3
state=$work/cluster
report=$work/report.txt
: > "$report"
say() { echo "$*" >> "$report"; }
fail() {
  say "FAILED: $*"
  exit 1
}
# Polls a condition every 0.1 s for at most $1 seconds.
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Only the loopback interface, with a second address besides 127.0.0.1: glibc's look-ups
# (AI_ADDRCONFIG) see no IPv4 at all when 127.0.0.1 is the only one.
ip link set lo up && ip addr add 127.0.0.2/8 dev lo || fail "no loopback interface"
hostname node || fail "cannot name the host"
mkdir -p "$state/munge" "$state/ctld" "$state/spool" && chmod 700 "$state/munge"

/usr/bin/python3 "$here/pages.py" "$state/pages.ready" 500 2> "$state/pages.log" &
wait_for 60 test -s "$state/pages.ready" || fail "the page server did not start"
read -r port dead < "$state/pages.ready"
sed -e "s/@PORT@/$port/g" -e "s/@DEAD@/$dead/g" "$work/all-sites.template" > "$work/all-sites.txt"

mungekey -c -k "$state/munge/munge.key" || fail "mungekey"
munged --foreground --force --socket="$state/munge/socket" --key-file="$state/munge/munge.key" \
  --pid-file="$state/munge/pid" --seed-file="$state/munge/seed" \
  --log-file="$state/munge/log" 2> "$state/munged.log" &
wait_for 60 test -S "$state/munge/socket" || fail "munged did not start"

export SLURM_CONF=$state/slurm.conf
cat > "$SLURM_CONF" << EOF
ClusterName=orvanel
SlurmctldHost=node(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$state/munge/socket
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/spool
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
NodeName=node NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=main Nodes=node Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -i 2> "$state/slurmctld.err" &
slurmd -D 2> "$state/slurmd.err" &
node_idle() { [ "$(sinfo -h -o %T 2> /dev/null)" = idle ]; }
wait_for 120 node_idle || fail "the node did not come up: $(sinfo 2>&1)"
say "cluster up"

export PATH=$bin:$PATH
cd "$work" || fail "no work folder"
orvanel-extract -q -f jsonl --host-errors 0 all-sites.txt > plain.jsonl 2> plain.err
[ $? -eq 1 ] || fail "the plain run did not end with failed addresses"

# The recipe: SPLIT, TASKS, SUBMIT and JOIN are its commands.
. "$work/recipe.env"
eval "$SPLIT" || fail "split"
eval "$TASKS"
say "tasks $tasks"
(
  eval "$SUBMIT" > first.out 2>&1
  echo $? > first.status
) &
submitted=$!

rows() { [ -f "$1" ] && wc -l < "$1" || echo 0; }
has_rows() { [ "$(rows "$1")" -gt 0 ]; }
# The companion writing shard $1, found among the processes of this namespace.
writer() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' ' ' < "$p/cmdline" 2> /dev/null | grep -q -- "-o $1 " && echo "${p#/proc/}" && return
  done
}
array_job() { squeue -h -o %F 2> /dev/null | head -1; }

# A shard with rows, or the submission over (then the tasks' logs say why).
started() { has_rows "$1" || [ -s first.status ]; }
wait_for 240 started shard-000.jsonl && has_rows shard-000.jsonl || fail "task 0 wrote no row: $(cat shard-0.log)"
pid=$(writer shard-000.jsonl)
[ -n "$pid" ] || fail "task 0 ended before it could be killed"
kill -KILL "$pid"
say "task 0 killed at $(rows shard-000.jsonl) rows"
wait_for 240 started shard-001.jsonl && has_rows shard-001.jsonl || fail "task 1 wrote no row: $(cat shard-1.log)"
job=$(array_job)
scancel "${job}_1"
say "task 1 cancelled at $(rows shard-001.jsonl) rows"
wait "$submitted"
say "first submission: $(cat first.status)"

mkdir finished && cp shard-002.jsonl shard-003.jsonl finished/
eval "$SUBMIT" > again.out 2>&1
say "second submission: $?"
cmp -s finished/shard-002.jsonl shard-002.jsonl && cmp -s finished/shard-003.jsonl shard-003.jsonl &&
  say "finished shards left as they were"
eval "$JOIN"
say "joined"
