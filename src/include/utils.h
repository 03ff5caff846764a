#ifndef VYX_UTILS_H
#define VYX_UTILS_H

// The one failure and trace mechanism of the plug-in, the small text helpers of
// the command handlers, and the one place through which every wait passes.

#include <pthread.h>

class UdpSender;

// Debug-log level: 0 silent, 1 standard output ("VYX: "), 2 UDP datagrams
// ("LOG: ") to the controller that sent CALLBACK1.  Read without a lock.
extern int global_debug_flag;
// Destination of error and log datagrams; null until CALLBACK1.
extern UdpSender* error_udp_sender;
// 2048-byte buffer in which each datagram is built; allocated by the command
// manager and pre-filled with "LOG:ERROR ".
extern char* error_buffer;

// Error report: "PANIC at file:line  message", perror, and "LOG:ERROR message\r\n"
// to the controller when one asked for it.  Reports never overlap.
void error_report(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Debug log by global_debug_flag.
void debug_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Whether debug_log prints anything at all (at `level`, or now).
inline bool debug_log_prints(int level) { return level == 1 || level == 2; }
inline bool debug_log_on() { return debug_log_prints(__atomic_load_n(&global_debug_flag, __ATOMIC_RELAXED)); }

#define VYX_ERROR(...) error_report(__FILE__, __LINE__, __VA_ARGS__)
#define VYX_LOG(...) debug_log(__VA_ARGS__)

// Allocates error_buffer (2048 bytes, pre-filled with "LOG:ERROR ") once.
void error_buffer_init();
// CALLBACK1: create the error/log destination towards ip:port if none exists.
// Returns false when the sender could not be connected (it stays in place).
bool error_sender_set(const char* ip, unsigned short port);
// CALLBACK with anything else: close and delete the destination.
void error_sender_clear();

// Hexadecimal text to number; characters that are not hex digits are skipped.
unsigned int hatoi(const char* hexstr);
// Single-delimiter tokenizer: an empty field yields null.  Command thread only.
char* mystrtok(char* s, const char* delim);
// Dotted quad, each part below 256; trailing text after the fourth is accepted.
bool is_valid_ip(const char* ip_str);

// Waits.  Every sleep of the plug-in and of the stand-ins goes through these,
// so that the simulated world can compress time: the requested duration is
// divided by the factor in the environment variable VYX_TIME_SCALE (default 1).
double vyx_time_scale();
void vyx_sleep_ms(unsigned int ms);
void vyx_sleep_s(unsigned int s);

// Starts a detached worker thread under SCHED_RR at that policy's lowest
// priority.  Where the process may not use real-time scheduling (EPERM, e.g. an
// unprivileged test host) the thread is started with the inherited policy
// instead, so the device still works.  Returns pthread_create's result.
int vyx_start_thread(pthread_t* id, void* (*body)(void*), void* arg);

#endif
