#include "number.h"

#include <ctype.h>
#include <stdlib.h>

bool parse_number(const char *text, number_syntax syntax, int *value)
{
	char *end;
	long n = strtol(text, &end, 10);  // saturates at the limits of long
	*value = n < INT_MIN ? INT_MIN : n > INT_MAX ? INT_MAX : (int)n;
	if (end == text)
		return false;
	while (isspace((unsigned char)*text))
		text++;
	if (!syntax.sign && (*text == '+' || *text == '-'))
		return false;
	if (syntax.whole && *end != '\0')
		return false;
	return *value >= syntax.low && *value <= syntax.high;
}
