// Days to civil dates by whole 400-year eras of the Gregorian calendar, each
// 146097 days long, with years counted from March so that the leap day comes
// last.
#include "utctime.h"

static long long floor_div(long long a, long long b)
{
	return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days from 1970-01-01 to the first of January of year.
static long long days_to_new_year(long long year)
{
	long long y = year - 1;  // January counts in the year before, from March
	long long era = floor_div(y, 400);
	long long yoe = y - era * 400;
	long long doe = yoe * 365 + yoe / 4 - yoe / 100 + 306;  // 306: March 1st to January 1st
	return era * 146097 + doe - 719468;
}

void utc_time(long long seconds, struct tm *out)
{
	long long days = floor_div(seconds, 86400);
	long long rest = seconds - days * 86400;
	out->tm_hour = (int)(rest / 3600);
	out->tm_min = (int)(rest / 60 % 60);
	out->tm_sec = (int)(rest % 60);
	out->tm_wday = (int)(days + 4 - floor_div(days + 4, 7) * 7);  // 1970-01-01 was a Thursday

	long long z = days + 719468;  // days since 0000-03-01
	long long era = floor_div(z, 146097);
	long long doe = z - era * 146097;
	long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // from March 1st
	long long mp = (5 * doy + 2) / 153;
	int month = (int)(mp < 10 ? mp + 3 : mp - 9);
	long long year = yoe + era * 400 + (month <= 2);
	out->tm_mday = (int)(doy - (153 * mp + 2) / 5 + 1);
	out->tm_mon = month - 1;
	out->tm_year = (int)(year - 1900);
	out->tm_yday = (int)(days - days_to_new_year(year));
	out->tm_isdst = 0;
}
