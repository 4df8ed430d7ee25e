// keld-sim: a stand-in for the appliance daemon keld, so that every program
// that talks to keld through libkel can be built, run and tested off the
// appliance.
//
// It serves the stand-in libkel's calls on "/tmp/.keld-snmp" (login with the
// community) and "/tmp/.keld" (login with the password), each connection
// served by a thread of its own, and keeps its whole state in one JSON file
// that it rewrites atomically after every change.  SIGHUP reads the file
// again; SIGTERM and SIGINT remove the sockets and end it.  With --log every
// call is appended to a log as one JSON object per line, in the order served.
// sim/keld/README.md describes the state file.
#include "calls.h"
#include "keld_login.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

constexpr int listen_backlog = 128;
constexpr int idle_client_s = 30;       // a client silent this long is dropped
constexpr int accept_pause_ms = 100;    // at the descriptor limit, between tries

static std::mutex state_lock;          // guards state, the state file and the log
static std::string state_path;         // the file it lives in
static int log_fd = -1;                // call log, or -1
static std::atomic<int> next_conn{1};  // id of the next connection

// Read and parse the state file. Return false and set why on failure. Only
// a regular file is read: opening a FIFO would block every client behind
// the state lock.
static bool load_state(const std::string &path, json *out, std::string *why)
{
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		*why = strerror(errno);
		return false;
	}
	struct stat st;
	if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
		*why = "not a regular file";
		close(fd);
		return false;
	}
	std::string text;
	char buf[65536];
	ssize_t k;
	while ((k = read(fd, buf, sizeof buf)) != 0) {
		if (k < 0 && errno == EINTR)
			continue;
		if (k < 0) {
			*why = strerror(errno);
			close(fd);
			return false;
		}
		text.append(buf, (size_t)k);
	}
	close(fd);
	return parse_state(text, out, why);
}

// Write the state to a temporary file beside the real one, sync it and move
// it into place, so that the file on disk is always complete.
static void save_state()
{
	std::string text = dump(state, 2) + "\n";
	std::string tmp = state_path + ".tmp";
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0) {
		perror(tmp.c_str());
		return;
	}
	size_t done = 0;
	while (done < text.size()) {
		ssize_t k = write(fd, text.data() + done, text.size() - done);
		if (k < 0) {
			if (errno == EINTR)
				continue;
			perror("write");
			close(fd);
			unlink(tmp.c_str());
			return;
		}
		done += (size_t)k;
	}
	if (fsync(fd) < 0 || close(fd) < 0 || rename(tmp.c_str(), state_path.c_str()) < 0) {
		perror(state_path.c_str());
		unlink(tmp.c_str());
		return;
	}
	std::string dir = state_path.find('/') == std::string::npos ? "." : state_path.substr(0, state_path.rfind('/') + 1);
	int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dfd >= 0) {
		fsync(dfd);
		close(dfd);
	}
}

static void log_line(const json &j)
{
	if (log_fd < 0)
		return;
	std::string line = dump(j) + "\n";
	if (write(log_fd, line.data(), line.size()) < 0)
		perror("log");
}


static bool read_full(int fd, unsigned char *p, size_t n)
{
	while (n > 0) {
		ssize_t k = read(fd, p, n);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		p += k;
		n -= (size_t)k;
	}
	return true;
}

// Send a frame, header and payload in one go where the socket takes it, so
// that the client's one receive finds the whole reply.
static bool write_frame(int fd, unsigned char hdr[4], const unsigned char *p, size_t n)
{
	struct iovec pieces[2] = {{hdr, 4}, {(void *)p, n}};
	struct iovec *rest = pieces;
	int count = 2;
	while (count > 0) {
		struct msghdr msg = {};
		msg.msg_iov = rest;
		msg.msg_iovlen = count;
		ssize_t k = sendmsg(fd, &msg, MSG_NOSIGNAL);
		if (k < 0 && errno == EINTR)
			continue;
		if (k <= 0)
			return false;
		frame_pieces_advance(&rest, &count, (size_t)k);
	}
	return true;
}

// Serve one connection until its client leaves or sends something that is
// not a request; either way only this connection ends.
static void serve_connection(conn c)
{
	static thread_local kel_msg m;
	for (;;) {
		unsigned char hdr[4];
		if (!read_full(c.fd, hdr, sizeof hdr))
			break;
		size_t len = frame_length(hdr);
		if (len == 0 || len > sizeof m.data || !read_full(c.fd, m.data, len))
			break;
		m.len = len;
		m.pos = 0;
		m.bad = false;
		bool request;
		{
			std::lock_guard<std::mutex> hold(state_lock);
			bool changed = false;
			json logged;
			request = answer_request(c, &m, &changed, &logged);
			if (changed)
				save_state();
			if (request)
				log_line(logged);
		}
		frame_header(hdr, m.len);
		if (!request || !write_frame(c.fd, hdr, m.data, m.len))
			break;
	}
	close(c.fd);
	std::lock_guard<std::mutex> hold(state_lock);
	log_line({{"conn", c.id}, {"event", "close"}});
}

// End keld-sim when path is another user's: an impostor's socket is neither
// served beside nor taken over without a word.
static void refuse_foreign_or_exit(const char *path)
{
	struct stat st;
	if (lstat(path, &st) < 0 || st.st_uid == geteuid())
		return;
	struct passwd *pw = getpwuid(st.st_uid);
	fprintf(stderr, "keld-sim: %s belongs to %s (uid %u), not to us: not taking it\n", path,
	        pw ? pw->pw_name : "no user", (unsigned)st.st_uid);
	exit(1);
}

// Listen on path, replacing a socket file that nobody listens on any more.
// A live daemon's socket is left alone: taking it over would cut that
// daemon's clients off from the state they expect.
static int listen_on_or_exit(const char *path)
{
	struct sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	strncpy(sa.sun_path, path, sizeof sa.sun_path - 1);
	refuse_foreign_or_exit(path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		perror("socket");
		exit(1);
	}
	if (connect(fd, (struct sockaddr *)&sa, sizeof sa) == 0) {
		fprintf(stderr, "keld-sim: %s: another daemon is listening there\n", path);
		exit(1);
	}
	close(fd);
	unlink(path);
	fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		perror("socket");
		exit(1);
	}
	if (bind(fd, (struct sockaddr *)&sa, sizeof sa) < 0) {
		perror(path);
		exit(1);
	}
	chmod(path, 0666);
	if (listen(fd, listen_backlog) < 0) {
		perror("listen");
		exit(1);
	}
	return fd;
}

static void usage()
{
	fprintf(stderr, "usage: keld-sim --state FILE [--log FILE]\n");
	exit(2);
}

static int listeners[2];              // the two sockets, not blocking
static std::atomic<int> idle_workers{0};  // workers waiting for a connection

// A connection thread: it waits on both sockets, serves the connection it
// accepts and waits again, so that the kernel hands a client straight to a
// thread that is already running.  The last idle one starts another before
// serving, so that a slow or stalled client never keeps the next waiting.
static void connection_worker()
{
	idle_workers++;
	for (;;) {
		struct pollfd p[2] = {{listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}};
		if (poll(p, 2, -1) < 0)
			continue;  // EINTR; nothing else can fail here
		int fd = -1, on = 0;
		for (int i = 0; i < 2 && fd < 0; i++) {
			if (p[i].revents & POLLIN) {
				fd = accept4(listeners[i], nullptr, nullptr, SOCK_CLOEXEC);
				on = i;
			}
		}
		// Out of descriptors the socket stays readable: pause rather than
		// spin until a client leaves.
		if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
			poll(nullptr, 0, accept_pause_ms);
		if (fd < 0)
			continue;  // another worker took it
		// A silent client, or one that stops reading, holds only its own
		// thread and descriptor, and only for so long.
		struct timeval idle = {idle_client_s, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
		setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
		if (--idle_workers == 0)
			std::thread(connection_worker).detach();
		conn c = {fd, next_conn++, on == 0, false};
		{
			std::lock_guard<std::mutex> hold(state_lock);
			log_line({{"conn", c.id}, {"event", "open"},
			          {"socket", on == 0 ? keld_community_socket : keld_password_socket}});
		}
		serve_connection(c);
		idle_workers++;
	}
}

int main(int argc, char **argv)
{
	const char *log_path = nullptr;
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "--state") && i + 1 < argc)
			state_path = argv[++i];
		else if (!strcmp(argv[i], "--log") && i + 1 < argc)
			log_path = argv[++i];
		else
			usage();
	}
	if (state_path.empty())
		usage();

	std::string why;
	if (!load_state(state_path, &state, &why)) {
		fprintf(stderr, "keld-sim: %s: %s\n", state_path.c_str(), why.c_str());
		return 2;
	}
	if (log_path && (log_fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) < 0) {
		perror(log_path);
		return 2;
	}

	// Signals are taken by the main thread only; the connection threads
	// inherit the blocked mask.
	sigset_t sigs;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGHUP);
	sigaddset(&sigs, SIGTERM);
	sigaddset(&sigs, SIGINT);
	sigprocmask(SIG_BLOCK, &sigs, nullptr);
	signal(SIGPIPE, SIG_IGN);
	int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
	if (sfd < 0) {
		perror("signalfd");
		return 1;
	}

	for (int i = 0; i < 2; i++) {
		listeners[i] = listen_on_or_exit(i == 0 ? keld_community_socket : keld_password_socket);
		fcntl(listeners[i], F_SETFL, fcntl(listeners[i], F_GETFL) | O_NONBLOCK);
	}
	std::thread(connection_worker).detach();
	printf("ready\n");
	fflush(stdout);

	for (;;) {
		struct signalfd_siginfo si;
		ssize_t n = read(sfd, &si, sizeof si);
		if (n < 0 && errno == EINTR)
			continue;
		if (n != sizeof si) {
			perror("signalfd");
			return 1;
		}
		if (si.ssi_signo == SIGHUP) {
			json fresh;
			std::lock_guard<std::mutex> hold(state_lock);
			if (load_state(state_path, &fresh, &why))
				state = std::move(fresh);
			else
				fprintf(stderr, "keld-sim: %s: %s; keeping the state in memory\n",
				        state_path.c_str(), why.c_str());
			continue;
		}
		// Hold the lock so that no save or log line is cut short.
		state_lock.lock();
		unlink(keld_community_socket);
		unlink(keld_password_socket);
		fflush(stderr);
		_exit(0);
	}
}
