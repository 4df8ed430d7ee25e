#include "keld_login.h"

#include <string.h>

#include "kel.h"

keld_login_result keld_login(const char *socket, const char *secret, FILE *report, int *handle)
{
	*handle = -1;
	int login = kel_connect_unix(socket, keld_login_mode, secret, (int)strlen(secret), handle);
	if (login > 0)
		return keld_logged_in;
	if (login == 0) {
		// The library may have kept the connection open for nothing.
		if (*handle >= 0)
			kel_disconnect(*handle);
		*handle = -1;
	}
	if (report) {
		if (login < 0)
			fprintf(report, "keld does not answer on %s\n", socket);
		else
			fprintf(report, "keld refused the login on %s\n", socket);
		fflush(report);
	}
	return login < 0 ? keld_absent : keld_refused;
}

keld_login_result keld_login_community(FILE *report, int *handle)
{
	return keld_login(keld_community_socket, keld_community, report, handle);
}
