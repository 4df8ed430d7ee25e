// fixedcgi: the cheapest CGI answer of a picture's size, so that requests per
// second through the web server can be set beside camsnap's.  QUERY_STRING
// "bytes=N" sets the body's length (default 40000).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

constexpr int default_bytes = 40000;
constexpr int max_bytes = 65536;

int main()
{
	static char body[max_bytes];
	const char *query = getenv("QUERY_STRING");
	const char *at = query ? strstr(query, "bytes=") : nullptr;
	int n = at ? atoi(at + 6) : default_bytes;
	if (n < 0 || n > max_bytes)
		n = default_bytes;
	memset(body, 0x55, n);
	printf("Content-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n", n);
	fwrite(body, 1, n, stdout);
	return fclose(stdout) != 0;
}
