// The calendar fields must match the C library's gmtime_r to the second, on
// every day across centuries and around the moments that trip calendars up.
#include <gtest/gtest.h>
#include <time.h>

#include "utctime.h"

namespace {

void expect_same(long long seconds)
{
	time_t t = (time_t)seconds;
	if ((long long)t != seconds)
		return;  // beyond a 32-bit time_t
	struct tm want, got;
	ASSERT_NE(gmtime_r(&t, &want), nullptr) << seconds;
	utc_time(seconds, &got);
	EXPECT_EQ(got.tm_year, want.tm_year) << seconds;
	EXPECT_EQ(got.tm_mon, want.tm_mon) << seconds;
	EXPECT_EQ(got.tm_mday, want.tm_mday) << seconds;
	EXPECT_EQ(got.tm_hour, want.tm_hour) << seconds;
	EXPECT_EQ(got.tm_min, want.tm_min) << seconds;
	EXPECT_EQ(got.tm_sec, want.tm_sec) << seconds;
	EXPECT_EQ(got.tm_wday, want.tm_wday) << seconds;
	EXPECT_EQ(got.tm_yday, want.tm_yday) << seconds;
	EXPECT_EQ(got.tm_isdst, want.tm_isdst) << seconds;
}

TEST(UtcTime, EveryDayFrom1900To2200AtAnOddTime)
{
	const long long day = 86400;
	for (long long d = -25567; d < 84006; d++)
		expect_same(d * day + (d * 7919) % day);
}

TEST(UtcTime, EdgesOfDaysYearsAndEras)
{
	const long long moments[] = {
		0, -1, 59, 60, 3599, 3600, 86399, 86400, -86400, -86401,
		951782400,  // 2000-02-29, a leap day of a century divisible by 400
		951868800,  // 2000-03-01
		4107456000LL, // 2100-03-01: 2100 is not a leap year
		2147483647, -2147483648LL, 2147483648LL,  // 32-bit time_t limits
		253402300799LL,  // 9999-12-31 23:59:59
		-62135596800LL,  // 0001-01-01
	};
	for (long long m : moments)
		for (long long delta = -2; delta <= 2; delta++)
			expect_same(m + delta);
}

TEST(UtcTime, TheExampleDate)
{
	struct tm t;
	utc_time(1796647576, &t);  // Monday 7 December 2026 12:46:16 UTC
	EXPECT_EQ(t.tm_wday, 1);
	EXPECT_EQ(t.tm_mday, 7);
	EXPECT_EQ(t.tm_mon, 11);
	EXPECT_EQ(t.tm_year, 126);
	EXPECT_EQ(t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec, 124616);
}

}  // namespace
