/*
 * devppp_shim.c: an LD_PRELOAD library for the pppd check of the options
 * files.  The test machines' kernels have no PPP driver, so pppd gives up at
 * /dev/ppp before it checks the options it has read; this shim hands it
 * /dev/null there instead, so that its "dryrun" gets through the checks.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>

typedef int (*open_fn)(const char *, int, ...);

static const char *redirect(const char *path)
{
	return path && strcmp(path, "/dev/ppp") == 0 ? "/dev/null" : path;
}

/* The mode argument is there only when the file may be created. */
static mode_t mode_of(int flags, va_list ap)
{
	return flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0;
}

int open(const char *path, int flags, ...)
{
	static open_fn real;
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_of(flags, ap);
	va_end(ap);
	if (!real)
		real = (open_fn)dlsym(RTLD_NEXT, "open");
	return real(redirect(path), flags, mode);
}

/* Same as open on the 64-bit hosts the system tests run on. */
int open64(const char *path, int flags, ...) __attribute__((alias("open")));

int openat(int dir, const char *path, int flags, ...)
{
	static int (*real)(int, const char *, int, ...);
	va_list ap;
	va_start(ap, flags);
	mode_t mode = mode_of(flags, ap);
	va_end(ap);
	if (!real)
		real = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, "openat");
	return real(dir, redirect(path), flags, mode);
}
