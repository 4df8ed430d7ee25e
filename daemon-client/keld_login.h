// keld_login.h: how our programs log in to keld.  kel.h is the library's own
// interface; what every program passes to it, and what it makes of the
// answer, is here once.
#ifndef KELD_LOGIN_H
#define KELD_LOGIN_H

#include <stdio.h>

// keld's socket for programs that log in with the community, and the one
// for those that log in with the administrator's password.
constexpr char keld_community_socket[] = "/tmp/.keld-snmp";
constexpr char keld_password_socket[] = "/tmp/.keld";
constexpr char keld_community[] = "meadow";
constexpr int keld_login_mode = 2;  // the only mode keld offers programs

enum keld_login_result {
	keld_logged_in,
	keld_absent,    // nothing answered on the socket
	keld_refused,   // keld answered and refused the secret
};

// Log in on socket with secret and store the connection in *handle.  A
// refused login is closed again, so that only keld_logged_in leaves a
// connection to close.  For the other two, one line naming the socket goes
// to report, or nowhere when report is null.
keld_login_result keld_login(const char *socket, const char *secret, FILE *report, int *handle);

// Log in on the community socket with the community.
keld_login_result keld_login_community(FILE *report, int *handle);

#endif
