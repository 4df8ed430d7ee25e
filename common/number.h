// number.h: decimal numbers in text from outside (command lines, the query
// string, keld's settings), read one way everywhere, each reader choosing
// how strict to be.
#ifndef COMMON_NUMBER_H
#define COMMON_NUMBER_H

#include <limits.h>

// What a text must hold to be taken as a number.
struct number_syntax {
	bool whole;      // nothing may follow the digits
	bool sign;       // a '+' or '-' may come before the digits
	int low, high;   // the values taken
};

// Digits up to the first other character, after white space and a sign:
// what atoi reads.
constexpr number_syntax number_prefix = {false, true, INT_MIN, INT_MAX};

// Read the decimal number at the start of text (white space, a sign, digits,
// as strtol does) into *value, kept at the end of int's range when beyond it
// so that a 64-bit host reads what the 32-bit appliance reads; 0 when there
// are no digits.  Return true when the text fits syntax: there are digits,
// nothing follows them if whole, no sign if not sign, and the value lies in
// [low, high].  *value is set either way, for readers that take whatever
// atoi would have given.
bool parse_number(const char *text, number_syntax syntax, int *value);

#endif
