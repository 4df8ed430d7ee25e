// A number from the command line, as the tools that take numeric arguments
// read it.
#ifndef TOOLS_ARGNUMBER_H
#define TOOLS_ARGNUMBER_H

#include <limits.h>
#include <stdlib.h>

// Convert text as strtol does, unchecked, clamped to the 32-bit range so that
// a 64-bit long gives what the appliance's 32-bit one gives.
inline int argument_number(const char *text)
{
	long n = strtol(text, nullptr, 10);
	if (n > INT_MAX)
		return INT_MAX;
	if (n < INT_MIN)
		return INT_MIN;
	return (int)n;
}

#endif
