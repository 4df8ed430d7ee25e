// keldcheck: tell by the exit status alone whether keld is up and answering.
//
// Status 0 when keld answered a no-operation request, 1 otherwise.  It takes
// no arguments (any are ignored) and writes nothing on either stream, so that
// scripts and watchdogs can call it as often as they like.
#include "kel.h"
#include "keld_login.h"

int main()
{
	int handle;
	if (keld_login_community(nullptr, &handle) != keld_logged_in)
		return 1;
	int answered = kel_noop(handle);
	kel_disconnect(handle);
	return answered ? 0 : 1;
}
