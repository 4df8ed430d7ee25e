#!/bin/sh
# no-cxx-runtime.sh LOADER FILE...: fail when a shipped program or library
# needs libstdc++ or libgcc_s, directly or through anything it loads: a C
# program loads neither.  LOADER says how to list what a file loads: "ldd",
# an emulator that runs the target's own loader (cross builds; the target's
# root in QEMU_LD_PREFIX), or "none" to check only the direct needs.
loader=$1
shift
if [ "$loader" != ldd ] && [ "$loader" != none ]; then
	for f in "$@"; do
		interp=$(readelf -l "$f" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')
		[ -n "$interp" ] && break
	done
fi
loads() {
	if [ "$loader" = ldd ]; then
		ldd "$1"
	else
		"$loader" "${QEMU_LD_PREFIX:-}$interp" --list "$1"
	fi
}
status=0
for f in "$@"; do
	if readelf -d "$f" | grep -Eq 'NEEDED.*(libstdc\+\+|libgcc_s)'; then
		echo "$f needs libstdc++ or libgcc_s" >&2
		status=1
	fi
	if [ "$loader" != none ] && loads "$f" | grep -Eq 'libstdc\+\+|libgcc_s'; then
		echo "$f loads libstdc++ or libgcc_s:" >&2
		loads "$f" >&2
		status=1
	fi
done
[ $status = 0 ] && echo "$# shipped binaries, none needs libstdc++ or libgcc_s"
exit $status
