"""Helpers for ttylaunch's system tests: keld settings, a stand-in mgetty that
records its starts and ends and lives as long as the test says, and a look at
the launcher's process from outside.

Importing kelsys first makes sure that all of this runs inside the sandbox,
where /usr/sbin, /etc and /tmp are the test's own.
"""

import json
import os
import subprocess
import tempfile
import time

import kelsys

MGETTY = "/usr/sbin/mgetty"
MGETTY_LOG = "/tmp/mgetty-runs.log"
CONFIG = "/etc/mgetty/mgetty.config"
TTYS = ["ttySMX0", "ttySMX1", "rfcomm0", "ttyACM0"]

# The stand-in: one JSON line when it starts (with its signal state as the
# kernel shows it) and one when it ends; in between it stays while the hold
# file of its line exists, deaf to SIGTERM while a deaf file of its line
# exists.  dash changes no signal disposition of its own in a
# script, so SigBlk and SigIgn are what the launcher handed over.
STANDIN = r"""#!/bin/sh
log=%(log)s
[ -e /tmp/mgetty-deaf.$1 ] && trap '' TERM
blk=$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)
ign=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)
printf '{"event":"start","pid":%%d,"time":%%s,"args":"%%s","argc":%%d,"blk":"%%s","ign":"%%s"}\n' \
    $$ "$(date +%%s.%%N)" "$*" $# "$blk" "$ign" >> $log
while [ -e /tmp/mgetty-hold.$1 ]; do sleep 0.1; done
printf '{"event":"end","pid":%%d,"time":%%s,"args":"%%s"}\n' $$ "$(date +%%s.%%N)" "$*" >> $log
"""


def install_standin():
    """Put the recording stand-in at /usr/sbin/mgetty, with an empty record."""
    if os.path.exists(MGETTY_LOG):
        os.unlink(MGETTY_LOG)
    with open(MGETTY + ".new", "w") as f:
        f.write(STANDIN % {"log": MGETTY_LOG})
    os.chmod(MGETTY + ".new", 0o755)
    os.rename(MGETTY + ".new", MGETTY)


def hold(tty):
    """Make the stand-in on tty stay until release(tty)."""
    open("/tmp/mgetty-hold." + tty, "w").close()


def release(tty):
    try:
        os.unlink("/tmp/mgetty-hold." + tty)
    except FileNotFoundError:
        pass


def runs():
    """The stand-in's records, in order."""
    if not os.path.exists(MGETTY_LOG):
        return []
    with open(MGETTY_LOG) as f:
        return [json.loads(line) for line in f if line.strip()]


def starts(tty=None):
    return [r for r in runs() if r["event"] == "start" and (tty is None or r["args"] == tty)]


def ends(tty=None):
    return [r for r in runs() if r["event"] == "end" and (tty is None or r["args"] == tty)]


def state(mask=None, inits=None, ips=None, own="192.0.2.1", fail=()):
    """A keld-sim state with the line settings given by port number."""
    settings = {}
    if mask is not None:
        settings["MGETTY-PORT"] = mask
    for port, text in (inits or {}).items():
        settings["MGETTY-INIT%d" % port] = text
    for port, text in (ips or {}).items():
        settings["MGETTY-IP%d" % port] = text
    return {"settings": settings, "network": {"ip": own}, "fail": list(fail)}


def options_path(port):
    return "/etc/ppp/options." + TTYS[port]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def launch(argv_extra=(), preexec_fn=None, wrapper=(), env=None):
    """Start ttylaunch with its output in files: mgetty inherits the streams
    and may outlive the launcher, so a pipe would not end with it."""
    argv = list(wrapper) + [kelsys.binary("ttylaunch")] + list(argv_extra)
    out = tempfile.TemporaryFile(dir="/tmp")
    err = tempfile.TemporaryFile(dir="/tmp")
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.Popen(argv, stdout=out, stderr=err, preexec_fn=preexec_fn, env=full_env)
    proc.out_file, proc.err_file = out, err
    return proc


def output(proc):
    """What the launcher has written on (stdout, stderr) so far."""
    texts = []
    for f in (proc.out_file, proc.err_file):
        f.seek(0)
        texts.append(f.read())
    return texts


def finish(proc, timeout=30):
    """Wait for a launcher; return (status, stdout bytes, stderr bytes)."""
    proc.wait(timeout=timeout)
    out, err = output(proc)
    proc.out_file.close()
    proc.err_file.close()
    return proc.returncode, out, err


def stop(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    proc.out_file.close()
    proc.err_file.close()


def port_questions(sim):
    """How many times the enabled-port mask has been asked for."""
    return sum(1 for c in sim.calls("kel_db_get") if c[1][0] == "MGETTY-PORT")


def connections(sim):
    """(opened, closed) connections in keld-sim's call log."""
    opened = closed = 0
    for e in sim.entries():
        if e.get("event") == "open":
            opened += 1
        elif e.get("event") == "close":
            closed += 1
    return opened, closed


def open_fds(pid):
    """The launcher's open descriptors when no question is in flight: the
    fewest seen over a second.  A question's socket is open only while it
    is asked, and that can be caught at any single look, the more so when
    the launcher runs slowly (under emulation); a leaked one stays."""
    counts = []
    end = time.monotonic() + 1.0
    while not counts or time.monotonic() < end:
        counts.append(len(os.listdir("/proc/%d/fd" % pid)))
        time.sleep(0.02)
    return min(counts)


def cpu_seconds(pid):
    """User plus system time of the process itself, children not counted."""
    fields = kelsys.proc_stat(pid)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_until(predicate, timeout=10.0):
    return kelsys.wait_for(predicate, timeout=timeout, step=0.05)


def now():
    return time.time()


def churn(seconds, settle=5.0):
    """Run the launcher with all four lines enabled and an mgetty that ends at
    once, for settle + seconds. Figures are taken once every supervisor has
    started (after settle) and at the end, with the launcher still running:
    its descriptors and CPU time, and the connections keld-sim saw."""
    install_standin()
    ips = {p: "192.0.2.%d" % (10 + p) for p in range(4)}
    with kelsys.KeldSim(state("15", inits={p: "ATZ" for p in range(4)}, ips=ips)) as sim:
        proc = launch()
        try:
            time.sleep(settle)
            if proc.poll() is not None:
                raise RuntimeError("ttylaunch ended early: %r" % (output(proc),))
            fds_start = open_fds(proc.pid)
            cpu_start = cpu_seconds(proc.pid)
            opened_start = connections(sim)[0]
            time.sleep(seconds)
            cpu_end = cpu_seconds(proc.pid)
            alive = proc.poll() is None
            opened, closed = connections(sim)
            disconnects = len(sim.calls("kel_disconnect"))
            fds_end = open_fds(proc.pid)
        finally:
            stop(proc)
    return {"fds_start": fds_start, "fds_end": fds_end, "cpu": cpu_end - cpu_start,
            "seconds": seconds, "opened": opened, "closed": closed,
            "opened_measured": opened - opened_start, "disconnects": disconnects,
            "starts": len(starts()), "alive": alive}


def gone(pid):
    """Whether a process has ended (a zombie has)."""
    try:
        return kelsys.proc_stat(pid)[0] == "Z"
    except FileNotFoundError:
        return True
