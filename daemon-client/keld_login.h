// keld_login.h: how our programs log in to keld.  kel.h is the library's own
// interface; what every program passes to it, and what it makes of the
// answer, is here once.
#ifndef KELD_LOGIN_H
#define KELD_LOGIN_H

#include <stdio.h>
#include <sys/stat.h>

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
//
// Only a socket that keld may have made is called: one owned by root, by the
// user the program runs as, or by the user that the environment variable
// KELD_SOCKET_OWNER names (a name or a number), in a folder that nobody else
// can replace it in.  Anything else is keld_absent, with a line naming the
// socket and its owner, and nothing is sent to it.
keld_login_result keld_login(const char *socket, const char *secret, FILE *report, int *handle);

// Log in on the community socket with the community.
keld_login_result keld_login_community(FILE *report, int *handle);

// The looks keld_login takes at the socket (keld_socket.cc), before and after
// connecting.  Trusted: a socket made by a user keld may run as, in a folder
// where no one else can remove or replace it (one such user owns the folder,
// and it is sticky or writable by its owner alone), or nothing at all, which
// the library then finds does not answer.  Otherwise one line naming the
// socket and its owner goes to report and the result is false.  *seen
// receives what the first look found, for the second: unchanged when the
// same socket is still there.
bool keld_socket_trusted(const char *socket, FILE *report, struct stat *seen);
bool keld_socket_unchanged(const char *socket, const struct stat *seen);

#endif
