#include "keld_login.h"

#include <string.h>
#include <sys/stat.h>

#include "kel.h"

keld_login_result keld_login(const char *socket, const char *secret, FILE *report, int *handle)
{
	*handle = -1;
	// The library's handle need not be a descriptor, so the peer's
	// credentials cannot be asked once connected. What holds instead: the
	// socket is made by keld's user in a folder where only its owner may
	// remove or rename it (a sticky /tmp), so between the look and the
	// connect only keld itself can take it away, and the second look below
	// catches that too, as a socket made in between is another inode. The
	// secret has gone out by then: the community is no secret, and a
	// password is open only to a race with keld's own restart.
	struct stat seen = {};
	if (!keld_socket_trusted(socket, report, &seen)) {
		if (report)
			fflush(report);
		return keld_absent;
	}
	int login = kel_connect_unix(socket, keld_login_mode, secret, (int)strlen(secret), handle);
	if (login > 0 && !keld_socket_unchanged(socket, &seen)) {
		kel_disconnect(*handle);
		*handle = -1;
		if (report) {
			fprintf(report, "%s was replaced while connecting: not trusted\n", socket);
			fflush(report);
		}
		return keld_absent;
	}
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
