// Reading the numbers of a request's query string.
#ifndef CAMSNAP_QUERY_H
#define CAMSNAP_QUERY_H

// Read the number after key, as "key%ld" would (blanks and a sign before the
// digits, reading up to the first non-digit), into *value if there is one.
void query_number(const char *query, const char *key, long *value);

// A query number as an int, kept at the end of the range rather than wrapped.
int to_int(long v);

#endif
