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
#include "kel_wire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

using json = nlohmann::ordered_json;

constexpr const char *snmp_socket = "/tmp/.keld-snmp";
constexpr const char *password_socket = "/tmp/.keld";
constexpr int listen_backlog = 128;

struct conn {
	int fd;
	int id;            // number that tells connections apart in the log
	bool snmp;         // came in on the community socket
	bool authed;       // its login was accepted
};

static std::mutex state_lock;          // guards state, the state file and the log
static json state;                     // the daemon's whole state
static std::string state_path;         // the file it lives in
static int log_fd = -1;                // call log, or -1
static std::atomic<int> next_conn{1};  // id of the next connection

static std::string dump(const json &j, int indent = -1)
{
	return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Read and parse the state file. Return false and set why on failure.
static bool load_state(const std::string &path, json *out, std::string *why)
{
	std::ifstream in(path, std::ios::binary);
	if (!in) {
		*why = strerror(errno);
		return false;
	}
	std::stringstream ss;
	ss << in.rdbuf();
	if (in.bad()) {
		*why = "read error";
		return false;
	}
	json j = json::parse(ss.str(), nullptr, false);
	if (j.is_discarded()) {
		*why = "not valid JSON";
		return false;
	}
	if (!j.is_object()) {
		*why = "not a JSON object";
		return false;
	}
	*out = std::move(j);
	return true;
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

static json get_or(const json &obj, const char *key, json def)
{
	if (obj.is_object()) {
		auto it = obj.find(key);
		if (it != obj.end() && !it->is_null())
			return *it;
	}
	return def;
}

static int int_of(const json &v)
{
	if (v.is_boolean())
		return v.get<bool>() ? 1 : 0;
	if (v.is_number())
		return v.get<int>();
	return 0;
}

static std::string dotted(uint32_t net)
{
	char buf[INET_ADDRSTRLEN];
	struct in_addr a;
	a.s_addr = net;
	inet_ntop(AF_INET, &a, buf, sizeof buf);
	return buf;
}

static uint32_t address_of(const json &v)
{
	struct in_addr a;
	if (v.is_string() && inet_pton(AF_INET, v.get<std::string>().c_str(), &a) == 1)
		return a.s_addr;
	return 0;
}

// A fail list names a call alone, or the call, a colon and its item.
static bool listed(const json &list, const std::string &call, const std::string &item)
{
	if (!list.is_array())
		return false;
	for (const json &e : list) {
		if (!e.is_string())
			continue;
		const std::string &s = e.get_ref<const std::string &>();
		if (s == call || (!item.empty() && s == call + ":" + item))
			return true;
	}
	return false;
}

static json *find_sensor(int type, int port)
{
	json &list = state["sensors"];
	if (!list.is_array())
		return nullptr;
	for (json &s : list)
		if (int_of(get_or(s, "type", 0)) == type && int_of(get_or(s, "port", 0)) == port)
			return &s;
	return nullptr;
}

// True when args holds exactly the fields sig lists ('i' integer, 's' text).
static bool shape(const json &args, const char *sig)
{
	size_t n = strlen(sig);
	if (args.size() != n)
		return false;
	for (size_t i = 0; i < n; i++)
		if ((sig[i] == 'i') != args[i].is_number_integer())
			return false;
	return true;
}

// Serve one call on an accepted connection. Fill the reply's outputs after
// the result, which is returned; *changed tells that the state must be saved.
// A call whose arguments have the wrong shape fails like a refused one.
static int serve(const std::string &call, json &args, kel_msg *reply, bool *changed)
{
	const json &fail = state.contains("fail") ? state["fail"] : json::array();
	auto refused = [&](const std::string &item) { return listed(fail, call, item); };

	if (call == "kel_noop")
		return shape(args, "") && !refused("");

	if (call == "kel_get_all_sensor_online") {
		if (!shape(args, "") || refused(""))
			return 0;
		const json list = get_or(state, "sensors", json::array());
		if (!list.is_array())
			return 0;
		msg_put_int(reply, (int32_t)list.size());
		for (const json &s : list) {
			msg_put_int(reply, int_of(get_or(s, "type", 0)));
			msg_put_int(reply, int_of(get_or(s, "port", 0)));
		}
		return reply->bad ? 0 : 1;
	}

	if (call == "kel_get_sensor_status" || call == "kel_get_sensor_description") {
		bool status = call == "kel_get_sensor_status";
		if (!shape(args, "iii"))
			return 0;
		int item = args[0], type = args[status ? 1 : 0], port = args[status ? 2 : 1];
		std::string key = status ? std::to_string(item) : "";
		json *s = find_sensor(type, port);
		if (!s || refused(key) || listed(get_or(*s, "fail", json()), call, key))
			return 0;
		if (!status) {
			std::string d = get_or(*s, "description", "").get<std::string>();
			msg_put_str(reply, d.data(), d.size());
			return 1;
		}
		if (item != 0 && item != 2)
			return 0;
		msg_put_int(reply, int_of(get_or(*s, item == 2 ? "status" : "value", 0)));
		return 1;
	}

	// The unit calls of one sensor family, found by port among its type.
	struct family { const char *call; int type; bool text; };
	static const family unit_calls[] = {
		{"kel_get_sensor_threshold", 1, false},
		{"kel_get_sensor_atod_value_type", 5, false},
		{"kel_get_sensor_420MA_value_type", 2, false},
		{"kel_get_sensor_atod_unit", 5, true},
		{"kel_get_sensor_420MA_unit", 2, true},
	};
	for (const family &f : unit_calls) {
		if (call != f.call)
			continue;
		bool threshold = f.type == 1;
		if (!shape(args, threshold ? "iii" : f.text ? "ii" : "i"))
			return 0;
		json *s = find_sensor(f.type, args[threshold ? 2 : 0]);
		if (!s || refused("") || listed(get_or(*s, "fail", json()), call, ""))
			return 0;
		if (threshold) {
			msg_put_int(reply, get_or(*s, "fahrenheit", false).get<bool>() ? 0 : 1);
		} else if (f.text) {
			std::string u = get_or(*s, "unit", "").get<std::string>();
			msg_put_str(reply, u.data(), u.size());
		} else {
			msg_put_int(reply, int_of(get_or(*s, "unit_type", 1)));
		}
		return 1;
	}

	if (call == "kel_db_get") {
		if (!shape(args, "si"))
			return 0;
		std::string key = args[0];
		json settings = get_or(state, "settings", json::object());
		auto it = settings.is_object() ? settings.find(key) : settings.end();
		if (refused(key) || it == settings.end() || !it->is_string())
			return 0;
		const std::string &v = it->get_ref<const std::string &>();
		msg_put_str(reply, v.data(), v.size());
		return 1;
	}

	static const char *const ip_keys[] = {"ip", "mask", "ip2"};
	if (call == "kel_get_network_ip" || call == "kel_set_network_ip") {
		bool set = call == "kel_set_network_ip";
		if (!shape(args, set ? "ii" : "i"))
			return 0;
		int item = args[0];
		if (item < 0 || item > 2 || refused(std::to_string(item)))
			return 0;
		json &net = state["network"];
		if (!net.is_object())
			net = json::object();
		if (set) {
			net[ip_keys[item]] = dotted((uint32_t)args[1].get<int>());
			*changed = true;
		} else {
			msg_put_int(reply, (int32_t)address_of(get_or(net, ip_keys[item], "0.0.0.0")));
		}
		return 1;
	}

	if (call == "kel_set_use_dhcp" || call == "kel_set_camera_enable") {
		if (!shape(args, "i") || refused(""))
			return 0;
		bool on = args[0].get<int>() != 0;
		if (call == "kel_set_use_dhcp")
			state["network"]["dhcp"] = on;
		else
			state["camera_enable"] = on;
		*changed = true;
		return 1;
	}

	if (call == "kel_reload_network_setting") {
		if (!shape(args, "") || refused(""))
			return 0;
		state["network_reloads"] = int_of(get_or(state, "network_reloads", 0)) + 1;
		*changed = true;
		return 1;
	}

	static const char *const text_calls[][2] = {
		{"kel_set_manuf_name", "manuf_name"},
		{"kel_set_product_name", "product_name"},
		{"kel_set_system_description", "system_description"},
		{"kel_set_help_url", "help_url"},
	};
	for (const auto &t : text_calls) {
		if (call != t[0])
			continue;
		if (!shape(args, "si") || refused(""))
			return 0;
		state[t[1]] = args[0];
		*changed = true;
		return 1;
	}

	if (call == "kel_set_time_zone") {
		if (!shape(args, "i") || refused(""))
			return 0;
		state["time_zone"] = args[0];
		*changed = true;
		return 1;
	}

	if (call == "kel_run_keld_command") {
		if (!shape(args, "si") || refused("") || args[0] != "deleteDB")
			return 0;
		state["settings"] = json::object();
		state["db_clears"] = int_of(get_or(state, "db_clears", 0)) + 1;
		*changed = true;
		return 1;
	}

	if (call == "kel_make_event") {
		if (!shape(args, "iiiiiiii") || refused(""))
			return 0;
		json e = json::object();
		static const char *const keys[] = {"type", "port", "value", "raw", "status", "degree"};
		for (int i = 0; i < 6; i++)
			e[keys[i]] = args[i];
		e["source"] = dotted((uint32_t)args[6].get<int>());
		e["cameras"] = (uint32_t)args[7].get<int>();
		state["events"].push_back(e);
		*changed = true;
		return 1;
	}

	if (call == "kel_ppp_command") {
		if (!shape(args, "iii") || refused(""))
			return 1;
		state["ppp_commands"].push_back({{"command", args[0]}, {"port", args[1]}, {"connect_to", args[2]}});
		*changed = true;
		return 0;
	}

	return 0;
}

// Show addresses in the log as dotted text and the camera mask unsigned,
// whether or not the call succeeded.
static void readable_args(const std::string &call, json &args)
{
	if (call == "kel_set_network_ip" && shape(args, "ii"))
		args[1] = dotted((uint32_t)args[1].get<int>());
	if (call == "kel_make_event" && shape(args, "iiiiiiii")) {
		args[6] = dotted((uint32_t)args[6].get<int>());
		args[7] = (uint32_t)args[7].get<int>();
	}
}

// Answer a login. The snmp socket takes the community, the other the
// password, which refuses everyone while it is empty.
static int login(conn &c, const json &args)
{
	if (!shape(args, "sisi") || listed(get_or(state, "fail", json()), "kel_connect_unix", ""))
		return 0;
	std::string want = c.snmp ? get_or(state, "community", "meadow").get<std::string>()
	                          : get_or(state, "password", "").get<std::string>();
	const std::string &got = args[2].get_ref<const std::string &>();
	c.authed = !want.empty() && got == want;
	return c.authed ? 1 : 0;
}

// Decode a request's fields into a JSON array. Return false on garbage.
static bool decode_args(kel_msg *m, json *args)
{
	while (m->pos < m->len) {
		if (m->data[m->pos] == kel_tag_int) {
			int32_t v;
			if (!msg_get_int(m, &v))
				return false;
			args->push_back(v);
		} else {
			const char *s;
			size_t n;
			if (!msg_get_str(m, &s, &n))
				return false;
			args->push_back(std::string(s, n));
		}
	}
	return true;
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
		const char *name;
		size_t n;
		json args = json::array();
		if (!msg_get_str(&m, &name, &n) || !decode_args(&m, &args))
			break;
		std::string call(name, n);

		msg_clear(&m);
		msg_put_int(&m, 0);
		int result;
		{
			std::lock_guard<std::mutex> hold(state_lock);
			bool changed = false;
			try {
				if (call == "kel_connect_unix")
					result = login(c, args);
				else if (call == "kel_disconnect")
					result = 1;
				else if (!c.authed)
					result = call == "kel_ppp_command" ? 1 : 0;
				else
					result = serve(call, args, &m, &changed);
			} catch (const json::exception &e) {
				// A hand-edited state whose fields have the wrong types.
				fprintf(stderr, "keld-sim: %s: %s\n", call.c_str(), e.what());
				result = call == "kel_ppp_command" ? 1 : 0;
				changed = false;
			}
			if (changed)
				save_state();
			readable_args(call, args);
			log_line({{"conn", c.id}, {"call", call}, {"args", args}, {"result", result}});
		}
		if (m.bad)
			msg_clear(&m), msg_put_int(&m, 0), result = 0;
		m.data[1] = (unsigned char)((uint32_t)result >> 24);
		m.data[2] = (unsigned char)((uint32_t)result >> 16);
		m.data[3] = (unsigned char)((uint32_t)result >> 8);
		m.data[4] = (unsigned char)result;
		frame_header(hdr, m.len);
		if (!write_frame(c.fd, hdr, m.data, m.len))
			break;
	}
	close(c.fd);
	std::lock_guard<std::mutex> hold(state_lock);
	log_line({{"conn", c.id}, {"event", "close"}});
}

// Listen on path, replacing a socket file that nobody listens on any more.
// A live daemon's socket is left alone: taking it over would cut that
// daemon's clients off from the state they expect.
static int listen_on(const char *path)
{
	struct sockaddr_un sa;
	memset(&sa, 0, sizeof sa);
	sa.sun_family = AF_UNIX;
	strncpy(sa.sun_path, path, sizeof sa.sun_path - 1);
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
		if (fd < 0)
			continue;  // another worker took it
		if (--idle_workers == 0)
			std::thread(connection_worker).detach();
		conn c = {fd, next_conn++, on == 0, false};
		{
			std::lock_guard<std::mutex> hold(state_lock);
			log_line({{"conn", c.id}, {"event", "open"},
			          {"socket", on == 0 ? snmp_socket : password_socket}});
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
		listeners[i] = listen_on(i == 0 ? snmp_socket : password_socket);
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
		unlink(snmp_socket);
		unlink(password_socket);
		fflush(stderr);
		_exit(0);
	}
}
