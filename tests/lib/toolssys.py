"""Helpers for the system tests of the command-line tools cfgtool, mkevent and pppctl."""

import os
import socket

import kelsys

SNMP_SOCKET = kelsys.COMMUNITY_SOCKET
PASSWORD_SOCKET = kelsys.PASSWORD_SOCKET


def tool(name, *args, argv0=None):
    """Run a tool; return (exit status, standard output, standard error) as texts."""
    done = kelsys.run(name, *args, argv0=argv0)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def leave_stale_sockets():
    """Leave both daemon socket files behind with nobody listening, as a
    crashed keld would: connecting to them is refused."""
    for path in (SNMP_SOCKET, PASSWORD_SOCKET):
        if os.path.exists(path):
            os.unlink(path)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(path)
        s.close()


def remove_sockets():
    for path in (SNMP_SOCKET, PASSWORD_SOCKET):
        if os.path.exists(path):
            os.unlink(path)


def keld_down_cases():
    """Yield a label once with no socket files and once with stale ones, the
    two ways a dead keld looks to a client."""
    remove_sockets()
    yield "no socket"
    leave_stale_sockets()
    yield "stale socket"
    remove_sockets()


def setting_calls(sim):
    """The calls that reached keld, without the login and the goodbye."""
    return [(c, a) for c, a, _ in sim.calls() if c not in ("kel_connect_unix", "kel_disconnect")]
