# Sourced by the scripts: the Debian packages a run needs.
#
# packages_in LIST...: the package names in lists such as
# scripts/packages/*.txt, without comments, once each.
# need_packages NAME...: as root, apt-get installs the missing ones;
# otherwise they are named with the line to run, and the call fails.

packages_in() {
	sed 's/#.*//' "$@" | tr -s ' \t' '\n\n' | grep . | sort -u
}

need_packages() {
	local p missing=()
	for p in "$@"; do
		dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' ||
			missing+=("$p")
	done
	[ ${#missing[@]} -gt 0 ] || return 0
	if [ "$(id -u)" != 0 ]; then
		echo "Missing packages; as root, run:" >&2
		echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
		return 1
	fi
	echo "Installing ${missing[*]}" >&2
	export DEBIAN_FRONTEND=noninteractive
	apt-get -o DPkg::Lock::Timeout=600 update -q
	apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
}
