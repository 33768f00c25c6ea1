/* The companion side of the Brisvander Enclave Service: one request for an
   enclave, sent only to the service itself.

   bv_request_enclave makes a fresh pipe token and IPC secret with the
   system's random generator, opens \\.\pipe\brisvander-svc (identification
   only: the server may learn who the caller is, never act as the caller),
   and before it writes anything makes sure that the pipe's server process is
   the process that the Service Control Manager reports for the running
   service BrisvanderEnclaveSvc. It then writes one SPAWN line and reads one
   reply line. timeout_ms bounds the wait for a free pipe instance, and again
   the wait for the reply once the line is written.

   Usable from C and C++; the library is C++ inside, so a program that links
   it statically links the C++ runtime as well (CMake does so for targets
   that link Brisvander::companion in a project with CXX enabled). */
#ifndef BRISVANDER_COMPANION_H
#define BRISVANDER_COMPANION_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bv_grant {
  uint32_t enclave_pid; /* from "OK {pid}" */
  char pipe_token[33];  /* 32 hex digits and a zero */
  char ipc_secret[65];  /* 64 hex digits and a zero */
} bv_grant;

/* Asks the service for an enclave at enclave_path (UTF-16, zero-terminated).
   Returns 0 and fills *grant on "OK {pid}"; otherwise one of the codes below,
   with a zero-terminated UTF-8 text in message (cut to message_size).
   message may be NULL only when message_size is 0. On any code but BV_OK
   *grant is left zeroed. */
int bv_request_enclave(const wchar_t* enclave_path, uint32_t timeout_ms, bv_grant* grant, char* message,
                       size_t message_size);

/* Overwrites the grant's secret and token. */
void bv_grant_wipe(bv_grant* grant);

#define BV_OK 0
#define BV_E_SERVICE_NOT_RUNNING 1 /* the service is not installed or not running */
#define BV_E_SERVER_MISMATCH 2     /* the pipe's server is not the service's process: nothing was sent */
#define BV_E_BUSY 3                /* no free instance within timeout_ms */
#define BV_E_REFUSED 4             /* "ERR {message}": message holds the service's text */
#define BV_E_NO_REPLY 5            /* connection ended, or no line within timeout_ms (or a line of neither form) */
#define BV_E_SYSTEM 6              /* a system call failed: message names it and its error code */
#define BV_E_ARGUMENT 7            /* a null pointer, or an enclave path the line cannot carry */

#ifdef __cplusplus
}
#endif

#endif /* BRISVANDER_COMPANION_H */
