// keldcheck: tell by the exit status alone whether keld is up and answering.
//
// Status 0 when keld answered a no-operation request, 1 otherwise.  It takes
// no arguments (any are ignored) and writes nothing on either stream, so that
// scripts and watchdogs can call it as often as they like.
#include "kel.h"

static const char keld_socket[] = "/tmp/.keld-snmp";
static const char community[] = "meadow";

int main()
{
	int handle = -1;  // stays -1, never another descriptor, if the library stores none
	if (kel_connect_unix(keld_socket, 2, community, sizeof community - 1, &handle) < 0)
		return 1;
	int answered = kel_noop(handle);
	kel_disconnect(handle);
	return answered ? 0 : 1;
}
