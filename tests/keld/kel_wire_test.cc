// The frame format between libkel and keld-sim: byte order on the wire and
// bounds checks on both sides.
#include "kel_wire.h"

#include <gtest/gtest.h>
#include <vector>

TEST(KelWire, FieldsRoundTripBigEndianWhateverTheHost)
{
	static kel_msg m;
	msg_clear(&m);
	msg_put_int(&m, 0x01020304);
	msg_put_int(&m, -2);
	msg_put_str(&m, "ab\0c", 4);
	msg_put_str(&m, "", 0);
	ASSERT_FALSE(m.bad);
	const unsigned char want[] = {'i', 1, 2, 3, 4, 'i', 0xff, 0xff, 0xff, 0xfe,
	                              's', 0, 4, 'a', 'b', 0, 'c', 's', 0, 0};
	ASSERT_EQ(m.len, sizeof want);
	EXPECT_EQ(memcmp(m.data, want, sizeof want), 0);

	int32_t a = 0, b = 0;
	const char *s = nullptr;
	size_t n = 0;
	EXPECT_TRUE(msg_get_int(&m, &a));
	EXPECT_TRUE(msg_get_int(&m, &b));
	EXPECT_EQ(a, 0x01020304);
	EXPECT_EQ(b, -2);
	EXPECT_TRUE(msg_get_str(&m, &s, &n));
	EXPECT_EQ(n, 4u);
	EXPECT_EQ(memcmp(s, "ab\0c", 4), 0);
	EXPECT_TRUE(msg_get_str(&m, &s, &n));
	EXPECT_EQ(n, 0u);
	EXPECT_FALSE(m.bad);
	EXPECT_FALSE(msg_get_int(&m, &a));   // nothing left
	EXPECT_TRUE(m.bad);

	unsigned char hdr[4];
	frame_header(hdr, 0x00012345);
	EXPECT_EQ(hdr[0], 0);
	EXPECT_EQ(hdr[1], 1);
	EXPECT_EQ(hdr[2], 0x23);
	EXPECT_EQ(hdr[3], 0x45);
	EXPECT_EQ(frame_length(hdr), 0x00012345u);
}

TEST(KelWire, DamagedMessagesAreRefusedNotReadPast)
{
	static kel_msg m;
	struct {
		const char *name;
		std::vector<unsigned char> bytes;
	} cases[] = {
		{"int cut short", {'i', 0, 0}},
		{"text longer than the message", {'s', 0, 5, 'a', 'b'}},
		{"text length cut short", {'s', 0}},
		{"unknown tag", {'x', 0, 0, 0, 0}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		msg_clear(&m);
		memcpy(m.data, c.bytes.data(), c.bytes.size());
		m.len = c.bytes.size();
		int32_t v = 0;
		const char *s = nullptr;
		size_t n = 0;
		bool got = c.bytes[0] == 'i' || c.bytes[0] == 'x' ? msg_get_int(&m, &v) : msg_get_str(&m, &s, &n);
		EXPECT_FALSE(got);
		EXPECT_TRUE(m.bad);
		EXPECT_EQ(m.pos, 0u);
	}
	// Asking for the wrong kind of field fails too.
	msg_clear(&m);
	msg_put_int(&m, 7);
	const char *s = nullptr;
	size_t n = 0;
	EXPECT_FALSE(msg_get_str(&m, &s, &n));
}

TEST(KelWire, PutsStopAtTheFrameLimit)
{
	static kel_msg m;
	static char big[kel_frame_max];
	msg_clear(&m);
	msg_put_str(&m, big, 0xff00);
	EXPECT_FALSE(m.bad);
	size_t used = m.len;
	msg_put_str(&m, big, 0x10000);       // a text over the length field's range
	EXPECT_TRUE(m.bad);
	EXPECT_EQ(m.len, used);
	msg_clear(&m);
	msg_put_str(&m, big, 0xffff);        // in range, but no room for the tag and length
	EXPECT_TRUE(m.bad);
	EXPECT_EQ(m.len, 0u);
	msg_clear(&m);
	while (!m.bad)
		msg_put_int(&m, 1);
	EXPECT_LE(m.len, sizeof m.data);
	EXPECT_GT(m.len + 5, sizeof m.data);
}
