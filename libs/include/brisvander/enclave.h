/* The enclave side of the Brisvander Enclave Service: what a program that
   the service starts reads of its hand-over, checked before it is used.

   bv_enclave_begin accepts only the command line in the exact form the
   service writes:
     "{path}" --pipe-token {32 hex digits} [--pipe-allow-sid {SID}]
       --service-verified [--shutdown-event brisvander-shutdown-{token}]
       [--ipc-secret-file "{drive}:\...\bv-ipc-{token}.tmp"]
   single spaces, nothing else. It reads the secret line from standard input
   (64 lowercase hex digits and a line feed, within 10 s; a pipe or a file,
   never a console); the hand-over file, when named, must hold the same line
   (compared in constant time) and is deleted once its content matched; the
   shutdown event, when named, is opened for SYNCHRONIZE only, so the
   enclave can wait on it and nothing more.

   Usable from C and C++; the library is C++ inside, so a program that links
   it statically links the C++ runtime as well (CMake does so for targets
   that link Brisvander::enclave in a project with CXX enabled). */
#ifndef BRISVANDER_ENCLAVE_H
#define BRISVANDER_ENCLAVE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bv_enclave bv_enclave; /* opaque */

/* Reads what the service handed over: the command line (GetCommandLineW, in the
   exact form the service writes), the secret line on standard input (bounded in
   size and time), and, when --ipc-secret-file is given, the hand-over file, which
   must hold the same line (compared in constant time) and is deleted once read.
   Returns 0 and a handle in *enclave, or a non-zero code and a UTF-8 message
   (zero-terminated, cut to message_size; message may be NULL only when
   message_size is 0). On failure *enclave is NULL. */
int bv_enclave_begin(bv_enclave** enclave, char* message, size_t message_size);

/* 32 hex digits */
const char* bv_enclave_pipe_token(const bv_enclave*);
/* NULL when the service gave none */
const wchar_t* bv_enclave_allowed_sid(const bv_enclave*);
/* 0, or BV_ENCLAVE_E_ARGUMENT for a NULL pointer */
int bv_enclave_copy_secret(const bv_enclave*, unsigned char secret[32]);
/* a HANDLE opened with SYNCHRONIZE only, or NULL */
void* bv_enclave_shutdown_event(const bv_enclave*);
/* closes and wipes; NULL is ignored */
void bv_enclave_end(bv_enclave*);

/* Codes of bv_enclave_begin. */
#define BV_ENCLAVE_OK 0
/* the command line is not in the form the service writes */
#define BV_ENCLAVE_E_COMMAND_LINE 1
/* standard input held no secret line (64 lowercase hex digits, a line feed) within 10 s */
#define BV_ENCLAVE_E_SECRET_LINE 2
/* the hand-over file could not be read or deleted, or holds another line */
#define BV_ENCLAVE_E_HAND_OVER_FILE 3
/* the shutdown event could not be opened */
#define BV_ENCLAVE_E_SHUTDOWN_EVENT 4
/* the library ran out of memory */
#define BV_ENCLAVE_E_SYSTEM 5
/* a null pointer */
#define BV_ENCLAVE_E_ARGUMENT 6

#ifdef __cplusplus
}
#endif

#endif /* BRISVANDER_ENCLAVE_H */
