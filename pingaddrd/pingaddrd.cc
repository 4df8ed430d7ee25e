// pingaddrd: let an installer give this appliance a new IPv4 address with a ping.
//
// The installer adds a static neighbour entry for the wanted address at the
// appliance's hardware address and pings it.  pingaddrd captures IPv4 frames
// on a packet socket whose kernel filter passes only ICMP echo requests, and
// takes the destination of the first request addressed to this host's
// hardware address, for an address no interface has yet, as the new address.
// With -c it gives the interface that address (directly, or through keld with
// -s); with -e it runs a shell command that finds the address in its
// environment, and ends when the command ends.  -t ends it after a while.
#include "echo_request.h"
#include "kel.h"
#include "keld_login.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr size_t receive_size = 2000;       // receive buffer: a whole Ethernet frame
constexpr int local_address_records = 10;   // interface addresses is_local_ip looks through
constexpr uint32_t keld_mask = 0xFF000000;  // mask handed to keld, host byte order

static const char timed_out[] = "Timed out.\n";       // written by the alarm handler

// End the program after a failed start-up step: what failed, and why.
[[noreturn]] static void die_startup_failed(const char *what)
{
	fprintf(stderr, "%s: %s.\n", what, strerror(errno));
	exit(1);
}

// Copy an interface name into ifr_name, cut so that it stays terminated.
static void set_request_name(ifreq *request, const char *name)
{
	size_t length = strnlen(name, sizeof request->ifr_name - 1);
	memcpy(request->ifr_name, name, length);
	request->ifr_name[length] = '\0';
}

// Return 1 when address (network byte order) is one of this host's interface
// addresses, 0 when it is not or when that cannot be told.
static int is_local_ip(int fd, uint32_t address)
{
	ifreq records[local_address_records];
	memset(records, 0, sizeof records);
	ifconf list;
	list.ifc_len = sizeof records;
	list.ifc_req = records;
	if (ioctl(fd, SIOCGIFCONF, &list) < 0) {
		fprintf(stderr, "Cannot list the interface addresses: %s.\n", strerror(errno));
		return 0;
	}

	// The list ends at the first record the kernel left empty.
	for (const ifreq &record : records) {
		if (record.ifr_name[0] == '\0')
			return 0;
		sockaddr_in in;
		memcpy(&in, &record.ifr_addr, sizeof in);
		if (in.sin_addr.s_addr == address)
			return 1;
	}
	fputs("ifreqs too small to determine if address is local, assuming it's not local!\n",
	      stderr);
	return 0;
}

// Give interface name the address (network byte order).  Return only when it
// was set; otherwise report why and end the program.
static void set_ip_or_exit(int fd, uint32_t address, const char *name)
{
	ifreq request;
	memset(&request, 0, sizeof request);
	set_request_name(&request, name);
	sockaddr_in in;
	memset(&in, 0, sizeof in);
	in.sin_family = AF_INET;
	in.sin_port = 0;
	in.sin_addr.s_addr = address;
	memcpy(&request.ifr_addr, &in, sizeof in);

	if (ioctl(fd, SIOCSIFADDR, &request) < 0) {
		fprintf(stderr, "Cannot change the address of %s: %s.\n", request.ifr_name,
		        strerror(errno));
		exit(1);
	}
}

// Have keld store the address as the appliance's own, DHCP off, and apply
// it.  keld's network settings name no interface, so only the address is
// used.  A failure is reported and the daemon goes on listening.
static void set_ip_via_keld(uint32_t address)
{
	int handle;
	if (keld_login_community(stderr, &handle) != keld_logged_in) {
		fputs("Cannot open connection to keld\n", stderr);
		return;
	}
	// Each call only when every earlier one was stored; nothing is undone.
	bool changed = kel_set_use_dhcp(handle, 0) &&
	               kel_set_network_ip(handle, 0, address) &&
	               kel_set_network_ip(handle, 1, htonl(keld_mask)) &&
	               kel_set_network_ip(handle, 2, address) &&
	               kel_reload_network_setting(handle);
	kel_disconnect(handle);
	if (!changed)
		fputs("Error changing the IP address via keld\n", stderr);
}

// End the daemon when its time is up.  The alarm may fall anywhere, in stdio
// or in the daemon client library among others, so only write and _exit.
static void on_alarm(int)
{
	ssize_t written = write(STDERR_FILENO, timed_out, sizeof timed_out - 1);
	(void)written;
	_exit(0);
}

// Whether this process holds capability in its effective set.  Return false
// when that cannot be told, after saying why.
static bool read_capability(int capability, bool *held)
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3];
	if (syscall(SYS_capget, &header, sets) < 0) {
		fprintf(stderr, "Cannot read the capabilities of pingaddrd: %s.\n", strerror(errno));
		return false;
	}
	*held = sets[capability / 32].effective >> (capability % 32) & 1;
	return true;
}

// Check, before anything is set up, what this run needs and cannot do
// without: the interface it captures on or changes, the capability of the
// packet socket, and for a direct change the one of the change.  Otherwise
// the daemon would detach and fail only when the installer pings, with the
// box out of reach.  Report each missing thing in a line and end the
// program; return the index of the interface named with -i, 0 without -i.
static unsigned check_start_or_exit(const run_settings *settings)
{
	bool direct_change = settings->change_address && !settings->through_keld;
	bool complete = true;
	unsigned index = 0;
	if (settings->bind_to_interface || direct_change) {
		index = if_nametoindex(settings->interface_name);
		if (index == 0 && errno != ENODEV) {
			fprintf(stderr, "Cannot look up interface %s: %s.\n", settings->interface_name,
			        strerror(errno));
			complete = false;
		} else if (index == 0) {
			fprintf(stderr, "No interface named %s%s.\n", settings->interface_name,
			        settings->bind_to_interface ? "" : ", the one -c changes without -i");
			complete = false;
		}
	}

	bool held = false;
	if (!read_capability(CAP_NET_RAW, &held))
		exit(1);
	if (!held) {
		fputs("Missing CAP_NET_RAW: pingaddrd cannot capture echo requests.\n", stderr);
		complete = false;
	}
	if (direct_change) {
		if (!read_capability(CAP_NET_ADMIN, &held))
			exit(1);
		if (!held) {
			fprintf(stderr, "Missing CAP_NET_ADMIN: pingaddrd cannot change the address of %s.\n",
			        settings->interface_name);
			complete = false;
		}
	}
	if (!complete)
		exit(1);
	return settings->bind_to_interface ? index : 0;
}

// Open the packet socket for IPv4 frames of the interface with index (0
// without -i: of every interface), with its filter in place.  It is created for no
// protocol at all and bound to IPv4 only once the filter is attached, so
// that no frame ever reaches its queue unfiltered.  The command run on a
// request has no business with it: it is closed on exec.
static int open_listener_or_exit(const run_settings *settings, unsigned index)
{
	int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
	if (fd < 0)
		die_startup_failed("Cannot open a packet socket");

	sockaddr_ll local;
	memset(&local, 0, sizeof local);
	local.sll_family = AF_PACKET;
	local.sll_protocol = htons(ETH_P_IP);
	local.sll_ifindex = (int)index;

	sock_fprog program;
	program.len = filter_length;
	program.filter = const_cast<sock_filter *>(echo_request_filter);
	if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0)
		die_startup_failed("Cannot attach the echo request filter");
	if (bind(fd, (sockaddr *)&local, sizeof local) < 0) {
		fprintf(stderr, "Cannot capture on %s: %s.\n",
		        index != 0 ? settings->interface_name : "every interface", strerror(errno));
		exit(1);
	}
	return fd;
}

// Run the command with the new address in its environment, then end: status
// 0 when it ran to its end, whatever its own status, 1 otherwise.
[[noreturn]] static void run_command_and_exit(const run_settings *settings, uint32_t address)
{
	alarm(0);  // the timeout must not cut the command short

	in_addr in;
	in.s_addr = address;
	unsigned char octet = (unsigned char)first_octet(address);
	char anet[10];
	snprintf(anet, sizeof anet, "%lu", (unsigned long)octet);
	setenv("NEW_IPADDR", inet_ntoa(in), 1);
	setenv("NEW_IP_ANET", anet, 1);
	setenv("IFNAME", settings->interface_name, 1);

	int status = system(settings->command);
	if (status == -1) {
		fprintf(stderr, "%s execution failed.\n", settings->command);
		exit(1);
	}
	if (WIFEXITED(status)) {
		fprintf(stderr, "%s exit with %d.\n", settings->command, WEXITSTATUS(status));
		exit(0);
	}
	fprintf(stderr, "%s died with signal %d.\n", settings->command, WTERMSIG(status));
	exit(1);
}

// Wait for echo requests and act on each that qualifies.
[[noreturn]] static void listen_for_requests(int fd, const run_settings *settings)
{
	unsigned char frame[receive_size];
	for (;;) {
		sockaddr_ll peer;
		socklen_t peer_length = sizeof peer;
		ssize_t length = recvfrom(fd, frame, sizeof frame, 0, (sockaddr *)&peer, &peer_length);
		if (length < 0)
			continue;
		// The filter and the reading below take the frame as Ethernet.  A
		// point-to-point link (a dial-in line's ppp0, a tunnel) hands the
		// socket its IPv4 packets bare, every one marked for this host, and
		// its transport bytes would be read as the request's fields.
		if (peer.sll_hatype != ARPHRD_ETHER)
			continue;
		echo_request request;
		if (!read_echo_request(frame, length, peer.sll_pkttype, settings->payload_size, &request))
			continue;
		// A request for an address in use, or from one of our own, is no request.
		if (is_local_ip(fd, request.destination) || is_local_ip(fd, request.source))
			continue;

		if (settings->change_address) {
			in_addr in;
			in.s_addr = request.destination;
			fprintf(stderr, "Changing IP address on interface %s to %s.\n",
			        settings->interface_name, inet_ntoa(in));
			if (settings->through_keld)
				set_ip_via_keld(request.destination);
			else
				set_ip_or_exit(fd, request.destination, settings->interface_name);
		}
		if (settings->command[0] != '\0')
			run_command_and_exit(settings, request.destination);
	}
}

int main(int argc, char **argv)
{
	run_settings settings;
	int status = parse_options(argc, argv, &settings, stdout, stderr);
	if (status != options_go_on)
		return status;

	// system() waits for its shell; an ignored SIGCHLD inherited from
	// whoever started us would make every command look as if it failed.
	signal(SIGCHLD, SIG_DFL);

	int fd = open_listener_or_exit(&settings, check_start_or_exit(&settings));
	if (!settings.foreground && daemon(0, 1) < 0) {
		perror("daemon");
		return 1;
	}

	// What this run will do, options not given left out; the last line
	// says that requests are awaited from now on.
	if (settings.timeout != -1)
		fprintf(stderr, "Timeout in %d s.\n", settings.timeout);
	if (settings.payload_size != -1)
		fprintf(stderr, "Expecting echo request payload %d bytes.\n", settings.payload_size);
	if (settings.change_address && settings.through_keld)
		fputs("On echo request arrival, have keld change the address.\n", stderr);
	else if (settings.change_address)
		fprintf(stderr, "On echo request arrival, change the address of %s.\n",
		        settings.interface_name);
	if (settings.command[0] != '\0')
		fprintf(stderr, "On echo request arrival, execute %s.\n", settings.command);
	fprintf(stderr, "Listening for echo requests on %s.\n",
	        settings.bind_to_interface ? settings.interface_name : "every interface");

	if (settings.timeout >= 1) {
		// A signal blocked by whoever started us stays blocked across exec:
		// the alarm would be held pending and the timeout never end the run.
		signal(SIGALRM, on_alarm);
		sigset_t alarm_only;
		sigemptyset(&alarm_only);
		sigaddset(&alarm_only, SIGALRM);
		sigprocmask(SIG_UNBLOCK, &alarm_only, NULL);
		alarm(settings.timeout);
	}
	listen_for_requests(fd, &settings);
}
