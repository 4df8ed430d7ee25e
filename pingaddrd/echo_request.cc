// echo_request.cc: pingaddrd's command line, its kernel filter and the reading
// of a captured frame.  Nothing here touches the network, so the unit tests
// link it as it ships.
#include "echo_request.h"
#include "number.h"

#include <linux/if_packet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <string.h>
#include <unistd.h>

static const char usage_format[] =
	"Usage: %s [-c] [-e command] [-t secs] [-l bytes] [-i interface] [-n] [-s] [-h]\n";

// The program the kernel runs on every IPv4 frame, so that the daemon sleeps
// through all traffic but echo requests.  The ICMP header is found where the
// IPv4 header's length puts it rather than at offset 34: an installer's ping
// may carry options (ping -R records the route in 40 bytes of them), and at
// a fixed offset the option bytes of any other packet could pass for an echo
// request.  A fragment is dropped: a later one holds no ICMP header, and a
// first one is not the whole request, which always fits one frame.
const sock_filter echo_request_filter[filter_length] = {
	BPF_STMT(BPF_LD + BPF_B + BPF_ABS, 14),                // IPv4 version and header length
	BPF_STMT(BPF_ALU + BPF_AND + BPF_K, 0xF0),             // the version
	BPF_JUMP(BPF_JMP + BPF_JEQ + BPF_K, 0x40, 0, 8),       // version 4, else drop
	BPF_STMT(BPF_LD + BPF_B + BPF_ABS, 23),                // protocol field
	BPF_JUMP(BPF_JMP + BPF_JEQ + BPF_K, IPPROTO_ICMP, 0, 6), // ICMP, else drop
	BPF_STMT(BPF_LD + BPF_H + BPF_ABS, 20),                // flags and fragment offset
	BPF_JUMP(BPF_JMP + BPF_JSET + BPF_K, 0x3FFF, 4, 0),    // a fragment: drop
	BPF_STMT(BPF_LDX + BPF_B + BPF_MSH, 14),               // X: the IPv4 header's length
	BPF_STMT(BPF_LD + BPF_H + BPF_IND, 14),                // ICMP type and code after it
	BPF_JUMP(BPF_JMP + BPF_JEQ + BPF_K, ICMP_ECHO << 8, 0, 1), // echo request, code 0, else drop
	BPF_STMT(BPF_RET + BPF_K, 0xFFFFFFFF),                 // accept the whole frame
	BPF_STMT(BPF_RET + BPF_K, 0),                          // drop
};

// Copy text into a field of size bytes, cut to size - 1 characters.
static void copy_cut(char *field, size_t size, const char *text)
{
	size_t length = strnlen(text, size - 1);
	memcpy(field, text, length);
	field[length] = '\0';
}

int parse_options(int argc, char **argv, run_settings *settings, FILE *out, FILE *err)
{
	const char *program = argv[0];

	memset(settings, 0, sizeof *settings);
	settings->timeout = -1;
	settings->payload_size = -1;
	copy_cut(settings->interface_name, sizeof settings->interface_name, "eth0");

	optind = 0;  // a fresh scan of this argv, also when called again
	int option;
	while ((option = getopt(argc, argv, "t:e:l:ci:nhs")) != -1) {
		switch (option) {
		case 'c':
			settings->change_address = true;
			break;
		case 'e':
			copy_cut(settings->command, sizeof settings->command, optarg);
			break;
		case 'h':
			fprintf(out, usage_format, program);
			return 0;
		case 'i':
			settings->bind_to_interface = true;
			copy_cut(settings->interface_name, sizeof settings->interface_name, optarg);
			break;
		case 'l':
			// Read as atoi would; the range check below says what is wrong.
			parse_number(optarg, number_prefix, &settings->payload_size);
			if (settings->payload_size < payload_min || settings->payload_size > payload_max) {
				fprintf(err, "Invalid echo request payload size %d (min %d, max %d).\n",
				        settings->payload_size, payload_min, payload_max);
				return 1;
			}
			break;
		case 'n':
			settings->foreground = true;
			break;
		case 's':
			settings->through_keld = true;
			break;
		case 't':
			parse_number(optarg, number_prefix, &settings->timeout);
			if (settings->timeout < 1) {
				fputs("Invalid timeout argument.\n", err);
				return 1;
			}
			break;
		default:
			fprintf(err, usage_format, program);
			return 1;
		}
	}
	return options_go_on;
}

// Whether an address, given by its bytes in network order, could be an
// interface's own.  Requests for one of "this network" (0/8), loopback
// (127/8), multicast, the reserved block or the limited broadcast (224/3 and
// up) are no installer's: acting on them would take the appliance off the net.
static bool is_host_address(const unsigned char *address)
{
	return address[0] != 0 && address[0] != 127 && address[0] < 224;
}

bool read_echo_request(const unsigned char *frame, ssize_t length, int packet_type,
                       int payload_size, echo_request *request)
{
	if (length < (ssize_t)frame_min || packet_type != PACKET_HOST)
		return false;

	// The filter let the frame through, but it may be short of what its
	// header announces, and the reading here must stand without the filter:
	// act only on a whole echo request, its headers and as much packet as
	// its IPv4 header announces.  A cut one is no installer's request, and
	// its announced size would be a guess.
	const unsigned char *ip = frame + ip_header_offset;
	size_t packet_length = (size_t)length - ip_header_offset;
	size_t header_length = (size_t)(ip[0] & 0x0F) * 4;
	size_t total_length = (size_t)(ip[2] << 8 | ip[3]);
	unsigned fragment = (unsigned)(ip[6] << 8 | ip[7]) & 0x3FFF;  // more-fragments and offset
	if (ip[0] >> 4 != 4 || header_length < ip_header_min || fragment != 0 ||
	    ip[9] != IPPROTO_ICMP)
		return false;
	if (total_length < header_length + icmp_header_size || total_length > packet_length)
		return false;
	const unsigned char *icmp = ip + header_length;
	if (icmp[0] != ICMP_ECHO || icmp[1] != 0)
		return false;
	int size = (int)(total_length - header_length - icmp_header_size);
	if (payload_size != -1 && payload_size != size)
		return false;
	if (!is_host_address(ip + 16))
		return false;

	request->payload_size = size;
	memcpy(&request->source, ip + 12, sizeof request->source);
	memcpy(&request->destination, ip + 16, sizeof request->destination);
	return true;
}

unsigned first_octet(uint32_t address)
{
	const unsigned char *bytes = (const unsigned char *)&address;
	return bytes[0];
}
