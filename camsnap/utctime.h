// The calendar fields of a moment in UTC, for the response's Last-Modified
// line.  The C library's gmtime_r reads the local time zone file the first
// time it runs, which costs a CGI more than the rest of its header block.
#ifndef CAMSNAP_UTCTIME_H
#define CAMSNAP_UTCTIME_H

#include <time.h>

// Fill the fields of *out that gmtime_r fills (tm_sec to tm_yday; tm_isdst
// 0) for seconds since 1970-01-01 00:00:00 UTC, negative ones included.
void utc_time(long long seconds, struct tm *out);

#endif
