// The pure logic of pingaddrd: the command line and the reading of a captured
// frame.  What the kernel filter does is left to the system tests, which send
// it real traffic.
#include "echo_request.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <linux/if_packet.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// An Ethernet frame of an echo request whose IPv4 header has ihl words.
std::vector<unsigned char> make_frame(size_t length, int total_length = 84, int ihl = 5,
                                      unsigned char icmp_type = 8)
{
	std::vector<unsigned char> f(length, 0);
	f[12] = 0x08;
	f[14] = (unsigned char)(0x40 | ihl);
	f[16] = (unsigned char)(total_length >> 8);
	f[17] = (unsigned char)total_length;
	f[23] = 1;
	const unsigned char src[] = {198, 51, 100, 9}, dst[] = {192, 0, 2, 50};
	memcpy(&f[26], src, 4);
	memcpy(&f[30], dst, 4);
	size_t icmp = 14 + 4 * (size_t)ihl;
	if (length > icmp)
		f[icmp] = icmp_type;
	return f;
}

struct parsed {
	int status;
	std::string out, err;
	run_settings settings;
};

parsed parse(std::vector<std::string> args)
{
	args.insert(args.begin(), "./pingaddrd");
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(&a[0]);
	argv.push_back(nullptr);

	parsed p;
	char *out_text = nullptr, *err_text = nullptr;
	size_t out_size = 0, err_size = 0;
	FILE *out = open_memstream(&out_text, &out_size);
	FILE *err = open_memstream(&err_text, &err_size);
	p.status = parse_options((int)args.size(), argv.data(), &p.settings, out, err);
	fclose(out);
	fclose(err);
	p.out = out_text;
	p.err = err_text;
	free(out_text);
	free(err_text);
	return p;
}

const std::string usage =
	"Usage: ./pingaddrd [-c] [-e command] [-t secs] [-l bytes] [-i interface] [-n] [-s] [-h]\n";
const std::string bad_timeout = "Invalid timeout argument.\n";

std::string bad_payload(int value)
{
	return "Invalid echo request payload size " + std::to_string(value) + " (min 12, max 1472).\n";
}

}  // namespace

TEST(Options, EndTheProgramWithTheRightStreamAndStatus)
{
	const struct { std::vector<std::string> args; int status; std::string out, err; } cases[] = {
		{{"-h"}, 0, usage, ""},
		{{"-h", "-t", "0"}, 0, usage, ""},
		{{"-t", "0", "-h"}, 1, "", bad_timeout},
		{{"-t", "0"}, 1, "", bad_timeout},
		{{"-t", "-5"}, 1, "", bad_timeout},
		{{"-t", "soon"}, 1, "", bad_timeout},
		{{"-l", "11"}, 1, "", bad_payload(11)},
		{{"-l", "1473"}, 1, "", bad_payload(1473)},
		{{"-l", "many"}, 1, "", bad_payload(0)},
		{{"-l", "99999999999"}, 1, "", bad_payload(INT_MAX)},
		{{"-l", "-99999999999"}, 1, "", bad_payload(INT_MIN)},
		{{"-x"}, 1, "", usage},
		{{"-c", "-t"}, 1, "", usage},
		{{"-l", "56", "-l", "5"}, 1, "", bad_payload(5)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
		parsed p = parse(c.args);
		EXPECT_EQ(p.status, c.status);
		EXPECT_EQ(p.out, c.out);
		EXPECT_EQ(p.err, c.err);
	}
}

TEST(Options, FillTheSettings)
{
	parsed none = parse({});
	EXPECT_EQ(none.status, options_go_on);
	EXPECT_EQ(none.out + none.err, "");
	EXPECT_FALSE(none.settings.change_address || none.settings.bind_to_interface ||
	             none.settings.foreground || none.settings.through_keld);
	EXPECT_STREQ(none.settings.command, "");
	EXPECT_EQ(none.settings.timeout, -1);
	EXPECT_EQ(none.settings.payload_size, -1);
	EXPECT_STREQ(none.settings.interface_name, "eth0");

	// Options after an operand still count; a repeated option replaces.
	parsed all = parse({"operand", "-c", "-t", " +5s", "-l", "12", "-n", "-s", "-t", "7",
	                    "-i", "lan0", "-e", "true", "-l", "1472", "-e", "echo $NEW_IPADDR"});
	EXPECT_EQ(all.status, options_go_on);
	EXPECT_TRUE(all.settings.change_address && all.settings.bind_to_interface &&
	            all.settings.foreground && all.settings.through_keld);
	EXPECT_EQ(all.settings.timeout, 7);
	EXPECT_EQ(all.settings.payload_size, 1472);
	EXPECT_STREQ(all.settings.interface_name, "lan0");
	EXPECT_STREQ(all.settings.command, "echo $NEW_IPADDR");

	EXPECT_EQ(parse({"-t", "5x"}).settings.timeout, 5);
	EXPECT_EQ(parse({"-t", "1"}).status, options_go_on);  // the shortest timeout
	EXPECT_EQ(parse({"-t", "99999999999"}).settings.timeout, INT_MAX);
	EXPECT_EQ(parse({"-l", "12"}).settings.payload_size, 12);

	std::string long_command(300, 'e'), long_name = "interface-name-of-20";
	parsed cut = parse({"-e", long_command, "-i", long_name});
	EXPECT_EQ(std::string(cut.settings.command), long_command.substr(0, 255));
	EXPECT_EQ(std::string(cut.settings.interface_name), long_name.substr(0, 15));
}

TEST(Frame, QualifiesOnlyWholeRequestsForThisHost)
{
	const struct {
		const char *name; std::vector<unsigned char> frame; ssize_t length;
		int packet_type, payload_size; bool counts;
	} cases[] = {
		{"any payload", make_frame(98), 98, PACKET_HOST, -1, true},
		{"payload 56 asked", make_frame(98), 98, PACKET_HOST, 56, true},
		{"payload 64 asked", make_frame(98), 98, PACKET_HOST, 64, false},
		// Ethernet, IPv4 and ICMP headers: an echo request without payload.
		{"headers only", make_frame(42, 28), 42, PACKET_HOST, -1, true},
		{"short of the headers", make_frame(42, 28), 41, PACKET_HOST, -1, false},
		{"cut short of its announced 84 bytes", make_frame(98), 41, PACKET_HOST, -1, false},
		{"one byte short of its packet", make_frame(98), 97, PACKET_HOST, 56, false},
		{"total length below its headers", make_frame(98, 27), 98, PACKET_HOST, -1, false},
		// Ethernet pads short packets: bytes past the packet are no harm.
		{"padded to the Ethernet minimum", make_frame(60, 28), 60, PACKET_HOST, -1, true},
		{"broadcast", make_frame(98), 98, PACKET_BROADCAST, -1, false},
		{"multicast", make_frame(98), 98, PACKET_MULTICAST, -1, false},
		{"another host's", make_frame(98), 98, PACKET_OTHERHOST, -1, false},
		{"our own outgoing", make_frame(98), 98, PACKET_OUTGOING, -1, false},
		// Options move the ICMP header and take their room from the payload.
		{"header with options", make_frame(102, 88, 6), 102, PACKET_HOST, 56, true},
		{"options read as its type", make_frame(102, 88, 6, 13), 102, PACKET_HOST, -1, false},
		{"headers longer than the packet", make_frame(102, 31, 6), 102, PACKET_HOST, -1, false},
		// A total length past 255 takes both of its bytes.
		{"largest payload", make_frame(1514, 1500), 1514, PACKET_HOST, 1472, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		echo_request request;
		ASSERT_EQ(read_echo_request(c.frame.data(), c.length, c.packet_type, c.payload_size,
		                            &request), c.counts);
		if (c.counts) {
			EXPECT_EQ(request.payload_size,
			          (c.frame[16] << 8 | c.frame[17]) - 4 * (c.frame[14] & 0x0F) - 8);
			EXPECT_EQ(memcmp(&request.source, &c.frame[26], 4), 0);
			EXPECT_EQ(memcmp(&request.destination, &c.frame[30], 4), 0);
			EXPECT_EQ(first_octet(request.destination), 192u);
			EXPECT_EQ(first_octet(request.source), 198u);
		}
	}
}

TEST(Frame, QualifiesOnlyUnfragmentedIPv4EchoRequests)
{
	const struct { const char *name; size_t offset; unsigned char value; } cases[] = {
		{"IPv6 version", 14, 0x65},
		{"header shorter than 20 bytes", 14, 0x44},
		{"more fragments", 20, 0x20},
		{"a later fragment", 21, 0x01},
		{"UDP", 23, 17},
		{"timestamp request", 34, 13},
		{"code 1", 35, 1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<unsigned char> frame = make_frame(98);
		frame[c.offset] = c.value;
		echo_request request;
		EXPECT_FALSE(read_echo_request(frame.data(), 98, PACKET_HOST, -1, &request));
	}
}

TEST(Frame, AsksOnlyForAddressesAnInterfaceCanHave)
{
	const struct { unsigned char first, last; bool counts; } cases[] = {
		{0, 0, false}, {0, 5, false}, {127, 1, false}, {224, 1, false}, {239, 255, false},
		{240, 1, false}, {255, 255, false},
		{1, 1, true}, {10, 0, true}, {126, 255, true}, {128, 0, true}, {223, 254, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::to_string(c.first) + ".x.x." + std::to_string(c.last));
		std::vector<unsigned char> frame = make_frame(98);
		frame[30] = c.first;
		frame[31] = frame[32] = c.first == 0 ? 0 : 255;
		frame[33] = c.last;
		echo_request request;
		EXPECT_EQ(read_echo_request(frame.data(), 98, PACKET_HOST, -1, &request), c.counts);
	}
}
