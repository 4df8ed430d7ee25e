// echo_request.h: the parts of pingaddrd that need no privileges and no
// network, kept apart so that the unit tests can drive them: the run settings
// and their command line, the kernel filter program, and the reading of a
// captured frame.
#ifndef PINGADDRD_ECHO_REQUEST_H
#define PINGADDRD_ECHO_REQUEST_H

#include <linux/filter.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

constexpr size_t command_size = 256;        // -e text, 255 characters and the NUL
constexpr size_t interface_name_size = 16;  // -i text, as ifr_name holds it
constexpr int payload_min = 12;             // smallest -l accepted, in bytes
constexpr int payload_max = 1472;           // largest -l: a 1500-byte IPv4 packet
constexpr int options_go_on = -1;           // parse_options: start the daemon

// Offsets into a frame as the packet socket delivers it, Ethernet header first.
constexpr size_t ip_header_offset = 14;     // IPv4 header after the Ethernet header
constexpr size_t ip_header_min = 20;        // IPv4 header without options
constexpr size_t icmp_header_size = 8;      // type, code, checksum, identifier, sequence
constexpr size_t frame_min = 42;            // Ethernet, IPv4 and ICMP headers

constexpr unsigned filter_length = 12;      // instructions in the filter program

// The settings of one run, filled from the command line.
struct run_settings {
	bool change_address;                    // -c: give the interface the new address
	char command[command_size];             // -e: shell command, empty for none
	int timeout;                            // -t: seconds before ending, -1 for none
	int payload_size;                       // -l: required ICMP payload, -1 for any
	char interface_name[interface_name_size]; // -i: interface changed and named to the command
	bool bind_to_interface;                 // -i given: capture on that interface only
	bool foreground;                        // -n: do not detach
	bool through_keld;                      // -s: change the address through keld
};

// The fields of a captured echo request that decide what happens to it.
struct echo_request {
	int payload_size;                       // IPv4 total length less both headers, options included
	uint32_t source;                        // network byte order
	uint32_t destination;                   // network byte order: the wanted address
};

// Fill settings from the command line.  Return options_go_on when the daemon
// should start, otherwise the status to exit with once the messages (usage on
// out for -h, everything else on err) are written.
int parse_options(int argc, char **argv, run_settings *settings, FILE *out, FILE *err);

// The kernel filter: accept unfragmented IPv4 ICMP echo requests (type 8,
// code 0), wherever the IPv4 header's length puts the ICMP header; drop the
// rest.
extern const sock_filter echo_request_filter[filter_length];

// Read a received frame.  Return true and fill request when the frame was
// addressed to this host's hardware address and holds a whole, unfragmented
// IPv4 echo request (type 8, code 0) with the payload size asked for
// (payload_size -1: any), for an address an interface could have.
bool read_echo_request(const unsigned char *frame, ssize_t length, int packet_type,
                       int payload_size, echo_request *request);

// The first octet of a network-order address, the one written first in dotted form.
unsigned first_octet(uint32_t address);

#endif
