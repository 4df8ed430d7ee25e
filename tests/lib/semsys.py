"""System V semaphores through ctypes, for tests that play a camera or a
reader against camsnap and capture-sim."""

import ctypes

IPC_CREAT = 0o1000
IPC_EXCL = 0o2000
IPC_RMID = 0
GETVAL = 12
GETNCNT = 14
SETVAL = 16

_libc = ctypes.CDLL(None, use_errno=True)


class _Sembuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short),
                ("sem_flg", ctypes.c_short)]


class _Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


def sem_id(key):
    """The id of the semaphore set at key, or -1."""
    return _libc.semget(key, 1, 0)


def sem_create(key, value, mode=0o666):
    sid = _libc.semget(key, 1, IPC_CREAT | IPC_EXCL | mode)
    if sid < 0:
        raise OSError(ctypes.get_errno(), "semget %d" % key)
    _libc.semctl(sid, 0, SETVAL, ctypes.c_int(value))
    return sid


def sem_remove(key):
    sid = sem_id(key)
    if sid >= 0:
        _libc.semctl(sid, 0, IPC_RMID)


def sem_value(key):
    return _libc.semctl(sem_id(key), 0, GETVAL)


def sem_set(key, value):
    return _libc.semctl(sem_id(key), 0, SETVAL, ctypes.c_int(value))


def sem_waiting(key):
    """How many processes wait for the semaphore at key to be raised."""
    return _libc.semctl(sem_id(key), 0, GETNCNT)


def sem_op(key, delta, timeout=None):
    """semop on the set at key; with a timeout, a wait that runs out gives
    False."""
    op = _Sembuf(0, delta, 0)
    if timeout is None:
        return _libc.semop(sem_id(key), ctypes.byref(op), 1) == 0
    ts = _Timespec(int(timeout), int((timeout % 1) * 1e9))
    return _libc.semtimedop(sem_id(key), ctypes.byref(op), 1, ctypes.byref(ts)) == 0


def sysv_semaphores():
    """{key: (perms, nsems)} of every semaphore set, from /proc."""
    out = {}
    with open("/proc/sysvipc/sem") as f:
        next(f)
        for line in f:
            fields = line.split()
            out[int(fields[0])] = (int(fields[2], 8), int(fields[3]))
    return out
