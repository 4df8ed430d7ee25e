// The tools' numeric arguments, against the reading a 32-bit appliance
// gives: blanks, a sign, decimal digits up to the first other character,
// saturated at the limits of int.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "number.h"

static int appliance_reading(const char *text)
{
	while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
		text++;
	bool negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;
	long long magnitude = 0;
	for (; *text >= '0' && *text <= '9'; text++)
		if (magnitude <= (long long)INT_MAX + 1)
			magnitude = magnitude * 10 + (*text - '0');
	if (negative)
		return magnitude > (long long)INT_MAX + 1 ? INT_MIN : (int)-magnitude;
	return magnitude > INT_MAX ? INT_MAX : (int)magnitude;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text((const char *)data, size);  // an argument ends at its NUL
	int n;
	parse_number(text.c_str(), number_prefix, &n);
	if (n != appliance_reading(text.c_str()))
		abort();
	return 0;
}
