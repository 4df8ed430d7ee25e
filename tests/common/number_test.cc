// The one reading of decimal numbers: what each strictness takes, and the
// value every reader gets, taken or not.
#include "number.h"

#include <gtest/gtest.h>

TEST(Number, EachSyntaxTakesWhatItSays)
{
	const number_syntax whole = {true, true, INT_MIN, INT_MAX};
	const number_syntax bit = {true, true, 0, 1};
	const number_syntax unsigned_whole = {true, false, 0, INT_MAX};
	struct {
		const char *text;
		number_syntax syntax;
		bool taken;
		int value;
	} cases[] = {
		{" \t+12x", number_prefix, true, 12},
		{"-99999999999", number_prefix, true, INT_MIN},
		{"99999999999", number_prefix, true, INT_MAX},
		{"x12", number_prefix, false, 0},
		{"-", number_prefix, false, 0},
		{"", number_prefix, false, 0},
		{"12x", whole, false, 12},
		{" 0012", whole, true, 12},
		{"12 ", whole, false, 12},
		{"1", bit, true, 1},
		{"2", bit, false, 2},
		{"-1", bit, false, -1},
		{"+5", unsigned_whole, false, 5},
		{" -0", unsigned_whole, false, 0},
		{"5", unsigned_whole, true, 5},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		int value = 7;
		EXPECT_EQ(parse_number(c.text, c.syntax, &value), c.taken);
		EXPECT_EQ(value, c.value);
	}
}
