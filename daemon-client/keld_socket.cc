// keld_socket.cc: whether the socket keld_login is about to call may be
// keld's: who made it, and whether anyone else could have replaced it.
#include "keld_login.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int passwd_buf_max = 1024;    // getpw*_r's room for one entry
constexpr int user_text_max = 64;       // "name (uid N)"
constexpr int folder_max = 108;         // a socket's folder: a socket path's room

// Find the user keld runs as when it is not root: KELD_SOCKET_OWNER, a name
// or a number; root when the variable is unset or empty. Return false, with
// one line to report, when it names no user.
static bool keld_user(FILE *report, uid_t *uid)
{
	const char *owner = getenv("KELD_SOCKET_OWNER");
	*uid = 0;
	if (!owner || !*owner)
		return true;
	char *end;
	errno = 0;
	unsigned long n = strtoul(owner, &end, 10);
	if (*owner >= '0' && *owner <= '9' && !*end && errno == 0 && n == (uid_t)n) {
		*uid = (uid_t)n;
		return true;
	}
	struct passwd pw, *found = nullptr;
	char buf[passwd_buf_max];
	if (getpwnam_r(owner, &pw, buf, sizeof buf, &found) == 0 && found) {
		*uid = pw.pw_uid;
		return true;
	}
	if (report)
		fprintf(report, "KELD_SOCKET_OWNER=%s names no user: keld's socket not trusted\n", owner);
	return false;
}

// Write "name (uid N)", or "uid N" for a user without a name, into buf.
static const char *user_text(uid_t uid, char (&buf)[user_text_max])
{
	struct passwd pw, *found = nullptr;
	char pwbuf[passwd_buf_max];
	if (getpwuid_r(uid, &pw, pwbuf, sizeof pwbuf, &found) == 0 && found)
		snprintf(buf, sizeof buf, "%s (uid %u)", pw.pw_name, (unsigned)uid);
	else
		snprintf(buf, sizeof buf, "uid %u", (unsigned)uid);
	return buf;
}

// Whether keld may be the one who made st: root, the user we run as, or
// the one KELD_SOCKET_OWNER names.
static bool keld_may_own(const struct stat *st, uid_t keld)
{
	return st->st_uid == 0 || st->st_uid == geteuid() || st->st_uid == keld;
}

bool keld_socket_trusted(const char *socket, FILE *report, struct stat *st)
{
	uid_t keld;
	if (!keld_user(report, &keld))
		return false;
	char folder[folder_max];
	const char *slash = strrchr(socket, '/');
	size_t n = slash ? (size_t)(slash - socket) : 0;
	if (n >= sizeof folder)
		n = sizeof folder - 1;
	memcpy(folder, socket, n);
	snprintf(folder + n, sizeof folder - n, "%s", !slash ? "." : n == 0 ? "/" : "");

	char who[user_text_max];
	struct stat dir;
	if (stat(folder, &dir) == 0 &&
	    (!keld_may_own(&dir, keld) || ((dir.st_mode & 022) && !(dir.st_mode & S_ISVTX)))) {
		if (report)
			fprintf(report, "%s: its folder %s (of %s) lets others replace it: not trusted\n", socket,
			        folder, user_text(dir.st_uid, who));
		return false;
	}
	if (lstat(socket, st) < 0)
		return true;   // nothing there: the library says that nothing answers
	if (!S_ISSOCK(st->st_mode) || !keld_may_own(st, keld)) {
		if (report)
			fprintf(report, "%s belongs to %s%s, not to keld: not trusted\n", socket,
			        user_text(st->st_uid, who), S_ISSOCK(st->st_mode) ? "" : " and is no socket");
		return false;
	}
	return true;
}

bool keld_socket_unchanged(const char *socket, const struct stat *before)
{
	struct stat now;
	return lstat(socket, &now) == 0 && now.st_dev == before->st_dev && now.st_ino == before->st_ino;
}
