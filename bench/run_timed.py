"""Runs one client of a benchmark and measures it, bounded in time.

usage: run_timed.py TIMEOUT_SECONDS RESULT_FILE COMMAND [ARG ...]

The command runs in a session of its own with standard input and output on /dev/null.
RESULT_FILE receives one line: wall seconds, user and system CPU seconds of the command
and its children (getrusage of the child, taken by wait4), peak RSS in KiB, and the exit
status (124 when the command was stopped at the time limit; 128+N when signal N ended it).
The clock starts after this interpreter has started, so only the command is measured.
Interrupted (SIGINT, SIGTERM), it stops the command first and exits with 128 + the signal.
"""
import os
import signal
import subprocess
import sys
import time


def main():
    limit, result = float(sys.argv[1]), sys.argv[2]
    with open(os.devnull, "rb") as stdin, open(os.devnull, "wb") as stdout:
        start = time.perf_counter()
        child = subprocess.Popen(sys.argv[3:], stdin=stdin, stdout=stdout, start_new_session=True)
    timed_out = []

    def stop(_signum, _frame):
        timed_out.append(True)
        os.killpg(child.pid, signal.SIGKILL)

    def interrupt(signum, _frame):
        os.killpg(child.pid, signal.SIGKILL)
        os.waitpid(child.pid, 0)
        sys.exit(128 + signum)

    signal.signal(signal.SIGALRM, stop)
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, limit)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    signal.setitimer(signal.ITIMER_REAL, 0)
    if timed_out:
        code = 124
    elif os.WIFSIGNALED(status):
        code = 128 + os.WTERMSIG(status)
    else:
        code = os.WEXITSTATUS(status)
    with open(result, "w") as f:
        f.write("%.4f %.4f %.4f %d %d\n" % (wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss, code))


if __name__ == "__main__":
    main()
