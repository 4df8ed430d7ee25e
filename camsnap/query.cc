// The query string comes from whoever sends the request: nothing in it is
// trusted, and a number too large for its field saturates.
#include "query.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

void query_number(const char *query, const char *key, long *value)
{
	const char *at = strstr(query, key);
	if (!at)
		return;
	at += strlen(key);
	char *end;
	long v = strtol(at, &end, 10);
	if (end != at)
		*value = v;
}

int to_int(long v)
{
	return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}
