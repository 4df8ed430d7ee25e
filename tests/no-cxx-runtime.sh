#!/bin/sh
# Fail when a shipped program or library needs libstdc++ (directly, or with
# ldd where the binaries run here: through anything it loads).
use_ldd=$1
shift
status=0
for f in "$@"; do
	if readelf -d "$f" | grep -q 'NEEDED.*libstdc++'; then
		echo "$f needs libstdc++" >&2
		status=1
	fi
	if [ "$use_ldd" = 1 ] && ldd "$f" | grep -q 'libstdc++'; then
		echo "$f loads libstdc++:" >&2
		ldd "$f" >&2
		status=1
	fi
done
[ $status = 0 ] && echo "$# shipped binaries, none needs libstdc++"
exit $status
