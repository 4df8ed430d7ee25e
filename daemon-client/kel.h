/*
 * kel.h: the calls our programs make into libkel, the client library of the
 * appliance daemon keld.
 *
 * Every call but kel_connect_unix and kel_disconnect takes the connection
 * handle first and returns non-zero for success and 0 for failure;
 * kel_ppp_command is the exception and returns 0 for success.  Addresses are
 * IPv4 in network byte order.  Buffers handed in for texts are filled with a
 * terminated text of at most len - 1 bytes.
 */
#ifndef KEL_H
#define KEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Below 0: daemon unreachable; 0: secret refused; above 0: connected. */
int kel_connect_unix(const char *path, int mode, const char *secret, int secret_len, int *handle);
int kel_disconnect(int handle);

int kel_noop(int handle);

/* *list receives a malloc'ed array: N, then N pairs (type, port). */
int kel_get_all_sensor_online(int handle, int **list);
/* item 2: status, item 0: value. */
int kel_get_sensor_status(int handle, int item, int type, int port, int *out);
/* *out 0 means the temperature sensor reports Fahrenheit. */
int kel_get_sensor_threshold(int handle, int kind, int level, int port, int *out);
/* *out 0 means the sensor has a unit text. */
int kel_get_sensor_atod_value_type(int handle, int port, int *out);
int kel_get_sensor_420MA_value_type(int handle, int port, int *out);
int kel_get_sensor_atod_unit(int handle, int port, char *buf, int len);
int kel_get_sensor_420MA_unit(int handle, int port, char *buf, int len);
int kel_get_sensor_description(int handle, int type, int port, char *buf, int len);

/* *block receives a malloc'ed reply the caller frees, *value the text in it,
 * *status a negative number when the key has no value. */
int kel_db_get(int handle, const char *key, void **block, char **value, int mode, int *status);

/* item 0: address, 1: mask, 2: second address. */
int kel_get_network_ip(int handle, int item, uint32_t *addr);
int kel_set_network_ip(int handle, int item, uint32_t addr);
int kel_set_use_dhcp(int handle, int on);
int kel_set_camera_enable(int handle, int on);
int kel_reload_network_setting(int handle);

/* len counts the terminating NUL. */
int kel_set_manuf_name(int handle, const char *text, int len);
int kel_set_product_name(int handle, const char *text, int len);
int kel_set_system_description(int handle, const char *text, int len);
int kel_set_help_url(int handle, const char *text, int len);
int kel_set_time_zone(int handle, int zone);
int kel_run_keld_command(int handle, const char *command, int len);

int kel_make_event(int handle, int type, int port, int value, int raw, int status, int degree,
                   uint32_t source, uint32_t cameras);
/* Returns 0 on success. */
int kel_ppp_command(int handle, int command, int port, int connect_to);

#ifdef __cplusplus
}
#endif

#endif
