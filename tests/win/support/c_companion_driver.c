/* bv-c-companion.exe: bv_request_enclave called from C, for the Windows
   tests of the companion library's C interface. Its test-signed copy,
   signed/bv-c-companion-app.exe, is a companion application that the
   service accepts.

     bv-c-companion.exe ENCLAVE_PATH TIMEOUT_MS

   Prints "key=value" lines to standard output: code= and message=, and for
   BV_OK pid=, token= and secret= from the grant. Exits with the code (100
   for a command line it does not take). */
#include <brisvander/companion.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  bv_grant grant;
  char message[4096];
  int code;
  if (argc != 3) {
    fputs("usage: bv-c-companion.exe ENCLAVE_PATH TIMEOUT_MS\n", stderr);
    return 100;
  }
  /* The message's UTF-8 bytes and the line feeds go out unchanged. */
  _setmode(_fileno(stdout), _O_BINARY);
  code = bv_request_enclave(argv[1], (uint32_t)wcstoul(argv[2], NULL, 10), &grant, message, sizeof message);
  printf("code=%d\nmessage=%s\n", code, message);
  if (code == BV_OK) {
    printf("pid=%lu\ntoken=%s\nsecret=%s\n", (unsigned long)grant.enclave_pid, grant.pipe_token, grant.ipc_secret);
  }
  bv_grant_wipe(&grant);
  return code;
}
