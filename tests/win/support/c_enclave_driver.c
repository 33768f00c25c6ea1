/* bv-c-enclave.exe: bv_enclave_begin called from C, for the Windows tests
   of the enclave library's C interface. A test copies it as
   vault-enclave.exe where the service starts enclaves, or starts it itself
   with a command line of the service's form.

   Its standard output is no use under the service, so it writes its report
   "bv-c-enclave-{pid}.txt" beside itself, whole under a temporary name and
   then renamed: "key=value" lines
     command_line=     GetCommandLineW
     begin=            bv_enclave_begin's code
     message=          its message
   and, after a begin that succeeded,
     token= sid=       bv_enclave_pipe_token, bv_enclave_allowed_sid ("none")
     secret=           bv_enclave_copy_secret, as lowercase hex
     event=            "yes" or "no": bv_enclave_shutdown_event
     set_event_error=  GetLastError of SetEvent on that handle (0: it worked)
   then, once the event is set, the report again with ended=event-set.
   Exit status: the code of a failed begin; 0 after the event was set or
   when there is none. */
#include <brisvander/enclave.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

static char report[8192];
static size_t report_length;

static void add(const char* key, const char* value) {
  int written = snprintf(report + report_length, sizeof report - report_length, "%s=%s\n", key, value);
  if (written > 0 && report_length + (size_t)written < sizeof report) report_length += (size_t)written;
}

static void add_wide(const char* key, const wchar_t* value) {
  char utf8[4096];
  int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8, (int)sizeof utf8, NULL, NULL);
  add(key, length > 0 ? utf8 : "?");
}

static void write_report(void) {
  wchar_t path[MAX_PATH + 64];
  wchar_t partial[MAX_PATH + 80];
  DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
  HANDLE file;
  DWORD written = 0;
  while (length > 0 && path[length - 1] != L'\\') --length;
  swprintf(path + length, MAX_PATH + 64 - length, L"bv-c-enclave-%lu.txt", (unsigned long)GetCurrentProcessId());
  swprintf(partial, MAX_PATH + 80, L"%ls.partial", path);
  file = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, report, (DWORD)report_length, &written, NULL);
  CloseHandle(file);
  MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING);
}

int wmain(int argc, wchar_t** argv) {
  bv_enclave* enclave = NULL;
  char message[1024];
  char number[16];
  unsigned char secret[32];
  char secret_hex[65];
  void* event;
  int code;
  int i;
  (void)argc;
  (void)argv;

  add_wide("command_line", GetCommandLineW());
  code = bv_enclave_begin(&enclave, message, sizeof message);
  snprintf(number, sizeof number, "%d", code);
  add("begin", number);
  add("message", message);
  if (code != BV_ENCLAVE_OK) {
    write_report();
    return code;
  }

  add("token", bv_enclave_pipe_token(enclave));
  if (bv_enclave_allowed_sid(enclave) != NULL) {
    add_wide("sid", bv_enclave_allowed_sid(enclave));
  } else {
    add("sid", "none");
  }
  bv_enclave_copy_secret(enclave, secret);
  for (i = 0; i < 32; ++i) snprintf(secret_hex + 2 * i, 3, "%02x", secret[i]);
  SecureZeroMemory(secret, sizeof secret);
  add("secret", secret_hex);
  event = bv_enclave_shutdown_event(enclave);
  add("event", event != NULL ? "yes" : "no");
  if (event != NULL) {
    /* The handle is for waiting only: setting it must be refused. */
    snprintf(number, sizeof number, "%lu", SetEvent(event) ? 0ul : (unsigned long)GetLastError());
    add("set_event_error", number);
  }
  write_report();

  if (event != NULL) {
    WaitForSingleObject(event, INFINITE);
    add("ended", "event-set");
    write_report();
  }
  bv_enclave_end(enclave);
  return 0;
}
