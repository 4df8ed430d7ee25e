// Reading the numbers of a request's query string.
#ifndef CAMSNAP_QUERY_H
#define CAMSNAP_QUERY_H

// Read the number after key, as "key%d" would (blanks and a sign before the
// digits, reading up to the first non-digit), into *value if there is one.
// A number beyond int is kept at the end of its range rather than wrapped.
void query_number(const char *query, const char *key, int *value);

#endif
