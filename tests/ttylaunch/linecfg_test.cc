// Unit tests of ttylaunch's pure logic: the enabled-port mask, the texts it
// writes for mgetty and pppd, and the checks on the settings behind them.
#include "linecfg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

// Run a writer on an in-memory stream and return what it wrote.
template <typename Writer> std::string written(Writer w, bool *ok)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	*ok = w(f);
	fclose(f);
	std::string s(buf, len);
	free(buf);
	return s;
}

// The ports a mask text enables, as a string of port digits.
std::string enabled(const char *text)
{
	std::string out;
	int mask = port_mask(text);
	for (int port = 0; port < port_count; port++)
		if (port_bit(mask, port))
			out += char('0' + port);
	return out;
}

TEST(PortMask, ConvertsLikeAtoi)
{
	struct { const char *text; int mask; const char *ports; } cases[] = {
		{"5", 5, "02"},
		{"-1", -1, "0123"},
		{"3x", 3, "01"},
		{"abc", 0, ""},
		{"", 0, ""},
		{nullptr, 0, ""},
		{"  +8", 8, "3"},
		{"\t\n 12", 12, "23"},
		{"\v\f\r6", 6, "12"},  // every blank that atoi skips
		{"\b6", 0, ""},
		{"- 5", 0, ""},
		{"+-5", 0, ""},
		{"15 7", 15, "0123"},
		{"16", 16, ""},
		{"0x4", 0, ""},
		{"007", 7, "012"},
		{"2147483647", 2147483647, "0123"},
		{"-2147483648", -2147483647 - 1, ""},
		// Beyond int the value saturates instead of wrapping.
		{"99999999999999999999", 2147483647, "0123"},
		{"-99999999999999999999", -2147483647 - 1, ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text ? c.text : "(missing)");
		EXPECT_EQ(port_mask(c.text), c.mask);
		EXPECT_EQ(enabled(c.text), c.ports);
	}
}

TEST(PortMask, BitIsTheMaskBitItselfAndOnlyForOurPorts)
{
	EXPECT_EQ(port_bit(4, 2), 4);
	EXPECT_EQ(port_bit(-1, 3), 8);
	EXPECT_EQ(port_bit(5, 1), 0);
	EXPECT_EQ(port_bit(-1, 4), 0);
	EXPECT_EQ(port_bit(-1, -1), 0);
	EXPECT_EQ(port_bit(-1, 31), 0);
}

TEST(ConfigText, HeadAndStanzasAreByteExact)
{
	bool ok;
	std::string s = written([](FILE *f) {
		return write_config_head(f) && write_port_stanza(f, "ttySMX0", "ATZ") &&
		       write_port_stanza(f, "rfcomm0", "AT&F");
	}, &ok);
	EXPECT_TRUE(ok);
	EXPECT_EQ(s, "debug 0\nspeed 38400\n\n"
	             "port ttySMX0\n    init-chat \"\" ATZ OK\n\n"
	             "port rfcomm0\n    init-chat \"\" AT&F OK\n\n");

	s = written([](FILE *f) { return write_config_head(f); }, &ok);
	EXPECT_EQ(s, "debug 0\nspeed 38400\n\n");

	// Blanks and format characters in the string go in verbatim.
	s = written([](FILE *f) { return write_port_stanza(f, "ttyACM0", "AT &D2 %s S0=1"); }, &ok);
	EXPECT_EQ(s, "port ttyACM0\n    init-chat \"\" AT &D2 %s S0=1 OK\n\n");
}

TEST(ConfigText, WriteErrorsAreReported)
{
	char buf[8];
	FILE *f = fmemopen(buf, sizeof buf, "w");
	ASSERT_NE(f, nullptr);
	setvbuf(f, nullptr, _IONBF, 0);
	EXPECT_FALSE(write_port_stanza(f, "ttySMX0", "ATZ"));
	fclose(f);
}

TEST(ConfigText, InitStringsWithLineBreaksAreRefused)
{
	struct { const char *init; bool fits; } cases[] = {
		{"ATZ", true},
		{"AT &F E0", true},
		{"AT\"Z\"", true},
		{"ATZ\nport ttySMX1", false},
		{"ATZ\r", false},
		{"\n", false},
		{"AT\r\nZ", false},
		{"", true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.init);
		EXPECT_EQ(init_fits_one_line(c.init), c.fits);
	}
}

TEST(OptionsText, OwnAddressFirstThenRemote)
{
	bool ok;
	std::string s = written([](FILE *f) { return write_ppp_options(f, "192.0.2.1", "192.0.2.2"); }, &ok);
	EXPECT_TRUE(ok);
	EXPECT_EQ(s, "192.0.2.1:192.0.2.2\n");
	s = written([](FILE *f) { return write_ppp_options(f, "0.0.0.0", "10.1.2.3"); }, &ok);
	EXPECT_EQ(s, "0.0.0.0:10.1.2.3\n");
}

TEST(OptionsText, RemoteMustBeADottedAddress)
{
	struct { const char *text; bool ok; } cases[] = {
		{"192.0.2.2", true},
		{"0.0.0.0", true},
		{"255.255.255.255", true},
		{"192.0.2.2\nnoauth", false},
		{"192.0.2.2 noauth", false},
		{"192.0.2.2\r", false},
		{" 192.0.2.2", false},
		{"192.0.2", false},
		{"192.0.2.2.5", false},
		{"256.0.0.1", false},
		{"192.0.2.02", false},
		{"0x7f.0.0.1", false},
		{"host.example", false},
		{"", false},
		{nullptr, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text ? c.text : "(missing)");
		EXPECT_EQ(is_dotted_ipv4(c.text), c.ok);
	}
}

}  // namespace
