// ttylaunch: keep mgetty answering on the appliance's serial lines.
//
// At start-up the line settings in keld's database become the mgetty
// configuration and one pppd options file per line.  Then one supervisor
// thread per enabled line starts mgetty, waits for it and starts it again
// three seconds after it ends, for as long as keld says that the line is
// enabled; once it is not, the supervisor removes the line's options file and
// ends.  The launcher ends when it has waited for its supervisors in port
// order.  It takes no arguments and writes everything on standard output.
//
// SIGTERM or SIGINT stops it cleanly without help from an init system: no
// mgetty is started any more, each running one gets SIGTERM (SIGKILL if it
// is still there after five seconds), and once they are gone the launcher
// ends by the same signal.
//
// Every question to keld uses a connection of its own, closed as soon as the
// question is answered, so that a line whose mgetty keeps ending costs
// nothing that adds up over months.
//
// A question that keld refuses, or answers late or garbled, is no word on the
// lines: what runs keeps running and the files stay.  A line is stopped only
// when keld says that it is off.  At start-up, with nothing running yet, the
// launcher asks again after a pause that doubles up to retry_max_s.
#include "kel.h"
#include "keld_login.h"
#include "linecfg.h"

#include <atomic>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

constexpr int key_max = 64;             // a settings key with its port number
constexpr int options_path_max = 64;    // an options file path, when written
constexpr int remove_path_max = 32;     // an options file path, when removed
constexpr int start_pause_s = 1;        // between starting two supervisors
constexpr int restart_pause_s = 3;      // between an mgetty ending and the next
constexpr int stop_grace_ms = 5000;     // for mgetty to end on SIGTERM before SIGKILL
constexpr int stop_poll_ms = 20;        // between looks at the lines while stopping
constexpr int retry_first_s = 1;        // before asking again after no usable answer
constexpr int retry_max_s = 30;         // longest pause between two such questions

static const char mgetty_config[] = "/etc/mgetty/mgetty.config";
static const char mgetty_path[] = "/usr/sbin/mgetty";

static pthread_t helper[port_count];    // supervisor of each port, when started
static bool helper_started[port_count]; // whether helper[n] holds a thread
// The mgetty of each port: its pid, -1 while one is being started, 0 when
// none runs.  Written by the port's supervisor, read by the stopper.
static std::atomic<pid_t> running[port_count];
static std::atomic<bool> stopping;      // a stop signal came: start no mgetty
static std::atomic<bool> unanswered;    // keld's last question about the lines failed

// keld is gone: say so and end the whole process, supervisors included.
// Output is flushed after every message, so nothing is left to flush here
// and _exit is safe from any thread.
static void die_keld_unreachable()
{
	fputs("Cannot connect to keld\n", stdout);
	fflush(stdout);
	_exit(1);
}

// Open a connection to keld for one question, or end the process when keld
// cannot be reached or refuses the login.
static int keld_open_or_exit()
{
	int handle;
	if (keld_login_community(stdout, &handle) != keld_logged_in)
		die_keld_unreachable();
	// Other ports' supervisors start mgetty while this question is open; the
	// handle must not live on in a getty and the pppd after it, whatever
	// library made it.
	if (handle >= 0)
		fcntl(handle, F_SETFD, fcntl(handle, F_GETFD) | FD_CLOEXEC);
	return handle;
}

// Close a question's connection, when the library handed one out.
static void keld_close(int handle)
{
	if (handle >= 0)
		kel_disconnect(handle);
}

// What a settings read found: a value, keld's word that the key has none,
// or no usable answer (a refused, failed or garbled call).
enum setting_read { setting_value, setting_none, setting_failed };

// Read a setting into *copy, a malloc'ed copy of its value that the caller
// frees; *copy is null unless the result is setting_value.
static setting_read settings_read(int handle, const char *key, char **copy)
{
	void *block = nullptr;
	char *value = nullptr;
	int status = -1;
	*copy = nullptr;
	int result = kel_db_get(handle, key, &block, &value, 2, &status);
	if (result && status < 0)
		return setting_none;
	if (!result || !value)
		return setting_failed;
	size_t n = strlen(value) + 1;
	*copy = (char *)malloc(n);
	if (*copy)
		memcpy(*copy, value, n);
	free(block);
	return *copy ? setting_value : setting_failed;
}

// Read a per-port setting such as "MGETTY-INIT%d".
static setting_read port_setting(int handle, const char *format, int port, char **copy)
{
	char key[key_max];
	snprintf(key, sizeof key, format, port);
	return settings_read(handle, key, copy);
}

// Print one line on standard output at once, so that it is not lost or
// reordered when the process ends from another thread.
__attribute__((format(printf, 1, 2))) static void say(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vprintf(format, ap);
	va_end(ap);
	fflush(stdout);
}

// Write the options file of a port. Return nothing: a file that cannot be
// written is skipped, and the other ports go on.
static void write_options_file(int port, const char *own, const char *remote)
{
	char path[options_path_max];
	if (snprintf(path, sizeof path, "/etc/ppp/options.%s", ports::ttyname[port]) >= (int)sizeof path)
		return;
	FILE *f = fopen(path, "w");
	if (!f)
		return;
	bool ok = write_ppp_options(f, own, remote);
	if (fclose(f) != 0 || !ok)
		say("%s: cannot be written\n", path);
}

// Write the mgetty configuration and the pppd options file of every port
// whose settings are there, enabled or not. Never removes a file, and leaves
// the configuration as it was when keld gives no usable answer for one of its
// lines. Returns 0.
int create_cfg_file()
{
	int handle = keld_open_or_exit();
	char *init[port_count] = {};
	bool answered = true;
	for (int port = 0; port < port_count && answered; port++) {
		answered = port_setting(handle, "MGETTY-INIT%d", port, &init[port]) != setting_failed;
		if (!answered)
			say("keld gave no usable answer for MGETTY-INIT%d: %s left as it was\n", port,
			    mgetty_config);
	}
	FILE *cfg = nullptr;
	if (answered && !(cfg = fopen(mgetty_config, "w"))) {
		keld_close(handle);
		for (int port = 0; port < port_count; port++)
			free(init[port]);
		return 0;
	}
	bool ok = !cfg || write_config_head(cfg);
	for (int port = 0; port < port_count; port++) {
		if (cfg && init[port] && *init[port]) {
			if (init_fits_one_line(init[port]))
				ok = write_port_stanza(cfg, ports::ttyname[port], init[port]) && ok;
			else
				say("MGETTY-INIT%d holds a line break: no stanza for %s\n", port, ports::ttyname[port]);
		}
		free(init[port]);

		uint32_t addr;
		if (!kel_get_network_ip(handle, 0, &addr))
			continue;
		char own[INET_ADDRSTRLEN];
		inet_ntop(AF_INET, &addr, own, sizeof own);
		char *remote;
		if (port_setting(handle, "MGETTY-IP%d", port, &remote) != setting_value)
			continue;
		if (*remote && !is_dotted_ipv4(remote))
			say("MGETTY-IP%d is not a dotted IPv4 address: no options file for %s\n", port,
			    ports::ttyname[port]);
		else if (*remote)
			write_options_file(port, own, remote);
		free(remote);
	}
	keld_close(handle);
	if (cfg && (fclose(cfg) != 0 || !ok))
		say("%s: cannot be written\n", mgetty_config);
	return 0;
}

// Return the port's bit of the enabled-port mask, 0 when keld says that the
// port is off, or -1 when keld gave no usable answer. keld saying that the
// mask has no value is its word that no port is enabled.
int is_enable(int port)
{
	int handle = keld_open_or_exit();
	char *text;
	setting_read found = settings_read(handle, "MGETTY-PORT", &text);
	keld_close(handle);
	// One line when keld stops answering and one when it answers again,
	// however many supervisors ask in between.
	if (found == setting_failed) {
		if (!unanswered.exchange(true))
			say("keld gave no usable answer for MGETTY-PORT: the lines stay as they are\n");
		return -1;
	}
	if (unanswered.exchange(false))
		say("keld answers for MGETTY-PORT again\n");
	int mask = port_mask(text);
	free(text);
	return port_bit(mask, port);
}

// Sleep for whole seconds, through any interruption.
static void pause_seconds(int seconds)
{
	struct timespec left = {seconds, 0};
	while (nanosleep(&left, &left) < 0 && errno == EINTR)
		;
}

// Start mgetty on the port and return its process id, or -1 when no child
// could be made. The child starts mgetty as if from a fresh shell: default
// dispositions and no signal blocked, whatever the launcher inherited. All
// signals stay blocked across fork so that nothing runs in the child before
// its dispositions are reset; the child makes async-signal-safe calls only.
static pid_t start_mgetty(int port)
{
	sigset_t all, saved, none;
	sigfillset(&all);
	sigemptyset(&none);
	pthread_sigmask(SIG_SETMASK, &all, &saved);
	pid_t pid = fork();
	if (pid == 0) {
		struct sigaction dfl;
		memset(&dfl, 0, sizeof dfl);
		dfl.sa_handler = SIG_DFL;
		sigemptyset(&dfl.sa_mask);
		for (int sig = 1; sig < NSIG; sig++)
			sigaction(sig, &dfl, nullptr);   // fails harmlessly for KILL, STOP
		sigprocmask(SIG_SETMASK, &none, nullptr);
		execl(mgetty_path, "mgetty", ports::ttyname[port], (char *)nullptr);
		_exit(127);
	}
	pthread_sigmask(SIG_SETMASK, &saved, nullptr);
	return pid;
}

// Supervise one port: keep mgetty running while the port is enabled, then
// remove its options file. Its argument is the port number.
static void *luncher(void *arg)
{
	int port = (int)(intptr_t)arg;
	// No usable answer (-1) leaves the line as it is: running.
	while (is_enable(port) != 0) {
		// Say that a start is under way before looking at the stop flag:
		// either the stopper waits for this start, or this start sees the
		// flag (sequentially consistent atomics make one of the two true).
		running[port] = -1;
		if (stopping) {
			running[port] = 0;
			return nullptr;
		}
		pid_t pid = start_mgetty(port);
		running[port] = pid < 0 ? 0 : pid;
		if (pid < 0)
			return nullptr;   // no child: the options file stays
		if (stopping)
			kill(pid, SIGTERM);
		while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
			;
		running[port] = 0;
		if (stopping)
			return nullptr;   // the line stays enabled: its options file stays
		pause_seconds(restart_pause_s);
	}
	char path[remove_path_max];
	snprintf(path, sizeof path, "/etc/ppp/options.%s", ports::ttyname[port]);
	unlink(path);
	return nullptr;
}

// The stopper: wait for a stop signal, stop every mgetty, then end the
// process by that signal. Its argument is the set of stop signals, blocked
// in every thread.
static void *stopper(void *arg)
{
	const sigset_t *stop_signals = (const sigset_t *)arg;
	int sig = 0;
	while (sigwait(stop_signals, &sig) != 0)
		;
	stopping = true;
	pid_t signalled[port_count] = {};   // the pid each port's SIGTERM went to
	for (int waited = 0;; waited += stop_poll_ms) {
		bool any = false;
		for (int port = 0; port < port_count; port++) {
			pid_t pid = running[port];
			if (pid == 0)
				continue;
			any = true;
			if (pid < 0)
				continue;   // being started: its supervisor stops it
			if (waited >= stop_grace_ms)
				kill(pid, SIGKILL);
			else if (pid != signalled[port])
				kill(pid, SIGTERM);
			signalled[port] = pid;
		}
		if (!any)
			break;
		struct timespec poll = {0, stop_poll_ms * 1000000L};
		nanosleep(&poll, nullptr);
	}
	signal(sig, SIG_DFL);
	sigset_t just;
	sigemptyset(&just);
	sigaddset(&just, sig);
	pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
	raise(sig);
	_exit(128 + sig);
}

int main()
{
	// The stop signals are taken by the stopper thread alone; blocked here,
	// before any other thread exists, they stay blocked in all of them.
	static sigset_t stop_signals;
	sigemptyset(&stop_signals);
	sigaddset(&stop_signals, SIGTERM);
	sigaddset(&stop_signals, SIGINT);
	sigset_t saved;
	pthread_sigmask(SIG_BLOCK, &stop_signals, &saved);
	pthread_t stopper_thread;
	if (pthread_create(&stopper_thread, nullptr, stopper, &stop_signals) != 0) {
		say("no thread to stop the lines: a stop signal leaves mgetty running\n");
		pthread_sigmask(SIG_SETMASK, &saved, nullptr);
	}
	create_cfg_file();
	for (int port = 0; port < port_count; port++) {
		// Nothing runs yet that an answer could keep: ask until keld gives
		// its word, pausing twice as long after each failure, up to a bound.
		int enabled, retry_s = retry_first_s;
		while ((enabled = is_enable(port)) < 0) {
			pause_seconds(retry_s);
			retry_s = retry_s * 2 < retry_max_s ? retry_s * 2 : retry_max_s;
		}
		if (!enabled)
			continue;
		helper_started[port] =
		        pthread_create(&helper[port], nullptr, luncher, (void *)(intptr_t)port) == 0;
		pause_seconds(start_pause_s);
	}
	// A port keld gives no usable answer about is still waited for.
	for (int port = 0; port < port_count; port++)
		if (is_enable(port) != 0 && helper_started[port])
			pthread_join(helper[port], nullptr);
	// Supervisors end early on a stop signal; the stopper ends the process
	// by that signal once every mgetty is gone.
	if (stopping)
		pthread_join(stopper_thread, nullptr);
	return 0;
}
