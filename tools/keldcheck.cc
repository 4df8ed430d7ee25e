// keldcheck: tell by the exit status alone whether keld is up and answering.
//
// Status 0 when keld answered a no-operation request, 1 otherwise: no
// daemon, a refused login, no answer, or no end to the run within
// run_bound_s.  It takes no arguments (any are ignored) and writes nothing on
// either stream, so that scripts and watchdogs can call it as often as they
// like.
#include "kel.h"
#include "keld_login.h"
#include "run_bound.h"

constexpr unsigned run_bound_s = 5;    // longest run, keld's answers included

int main()
{
	end_run_after(run_bound_s, -1, 1);
	int handle;
	if (keld_login_community(nullptr, &handle) != keld_logged_in)
		return 1;
	int answered = kel_noop(handle);
	kel_disconnect(handle);
	return answered ? 0 : 1;
}
