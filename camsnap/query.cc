// The query string comes from whoever sends the request: nothing in it is
// trusted, and a number too large for its field saturates.
#include "query.h"
#include "number.h"

#include <string.h>

void query_number(const char *query, const char *key, int *value)
{
	const char *at = strstr(query, key);
	int v;
	if (at && parse_number(at + strlen(key), number_prefix, &v))
		*value = v;
}
