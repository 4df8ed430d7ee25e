// The raw frame file is mapped, never copied.  A producer that truncates the
// file while a request reads it would make the kernel raise SIGBUS; the guard
// below puts zero pages in place of the lost ones instead, so a request never
// dies of it.
#include "rawframe.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

volatile sig_atomic_t raw_frame_lost;  // the mapping lost its file's pages
uint8_t raw_frame_flag;
static uint8_t *volatile guarded_address;  // mapping the SIGBUS guard covers
static volatile size_t guarded_length;     // its length

static void on_sigbus(int sig, siginfo_t *info, void *)
{
	uint8_t *at = (uint8_t *)info->si_addr;
	if (guarded_address && at >= guarded_address && at < guarded_address + guarded_length &&
	    mmap(guarded_address, guarded_length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
	         -1, 0) != MAP_FAILED) {
		raw_frame_lost = 1;
		return;  // the faulting read now finds a zero page
	}
	signal(sig, SIG_DFL);  // not ours: die of it as usual on return
}

static void guard_mapping(uint8_t *address, size_t length)
{
	static bool installed;  // the handler is set once per process
	if (!installed) {
		struct sigaction sa;
		memset(&sa, 0, sizeof sa);
		sa.sa_sigaction = on_sigbus;
		sa.sa_flags = SA_SIGINFO;
		sigemptyset(&sa.sa_mask);
		sigaction(SIGBUS, &sa, NULL);
		installed = true;
	}
	guarded_address = address;
	guarded_length = length;
}

int map_frame_file(const char *path, int channel, uint8_t **address, int *fd, size_t *length)
{
	*address = (uint8_t *)MAP_FAILED;
	*length = 0;
	// Without O_NONBLOCK a FIFO put in the file's place would hold the
	// request in open() for as long as nobody writes to it, its read unit
	// taken; with it the open returns at once and fstat turns it away.
	*fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (*fd < 0) {
		fprintf(stderr, "cannot open raw file! (%s)\n", path);
		return 1;
	}
	struct stat st;
	if (fstat(*fd, &st) != 0)
		return 1;
	if (!S_ISREG(st.st_mode)) {
		fprintf(stderr, "raw file is not a regular file! (%s)\n", path);
		return 1;
	}
	if (st.st_size < raw_header_bytes) {
		fprintf(stderr, "raw file is too short! (%s, %ld bytes)\n", path, (long)st.st_size);
		return 1;
	}
	void *map = mmap(NULL, st.st_size, PROT_READ, MAP_SHARED, *fd, 0);
	if (map == MAP_FAILED)
		return 1;
	*address = (uint8_t *)map;
	*length = st.st_size;
	guard_mapping(*address, *length);
	if ((*address)[1] != channel)
		return raw_other_channel;
	uint8_t flag = *(volatile uint8_t *)*address;
	long needed = raw_frame_bytes(flag);
	if ((long)*length < needed) {
		fprintf(stderr, "raw file is too short! (%s, %ld bytes, frame needs %ld)\n", path,
		        (long)*length, needed);
		return 1;
	}
	raw_frame_flag = flag;
	return 0;
}

void release_frame_file(uint8_t *address, int fd, size_t length)
{
	leave_frame_file(fd);
	if (address != MAP_FAILED)
		munmap(address, length);
}

void leave_frame_file(int fd)
{
	guarded_address = NULL;
	if (fd >= 0)
		close(fd);
}
