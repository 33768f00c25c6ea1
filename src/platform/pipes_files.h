#pragma once
// Named pipes, anonymous pipes and files.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/owned.h"
#include "platform/processes_tokens.h"

namespace bv::platform {

// What the wait for a client ended with.
struct ConnectOutcome {
  bool succeeded = false;  // ConnectNamedPipe (or its completion) reported success
  ErrorCode error = 0;     // the error otherwise (ERROR_PIPE_CONNECTED included)
  bool woken = false;      // the wake event ended the wait and the connect was cancelled
};

// What one one-byte read gave.
struct ReadOutcome {
  bool succeeded = false;  // ReadFile (or its completion) reported success
  std::uint32_t count = 0;
  std::uint8_t byte = 0;
  ErrorCode error = 0;
  bool timed_out = false;  // no byte within the time given; the read was cancelled
};

// One server instance of a named pipe. Destroying it is CloseHandle.
class PipeInstance {
 public:
  virtual ~PipeInstance() = default;
  // ConnectNamedPipe, then a wait for the client that ends early when
  // `wake` (if any) is set: the pending connect is then cancelled, and a
  // client that got in before the cancel still counts as connected.
  virtual ConnectOutcome connect(WakeEvent* wake) = 0;
  // ReadFile of one byte, waiting at most `timeout` for it.
  virtual ReadOutcome read_byte(std::chrono::milliseconds timeout) = 0;
  // ReadFile of zero bytes, waiting at most `timeout`: it succeeds (count 0)
  // once a byte is there to be read, which it leaves unread, and fails once
  // the client has closed its end (ERROR_BROKEN_PIPE). It returns at once
  // when either is already the case.
  virtual ReadOutcome wait_for_data(std::chrono::milliseconds timeout) = 0;
  // WriteFile of all bytes, waiting at most `timeout` for it.
  virtual Result<void> write(std::string_view bytes, std::chrono::milliseconds timeout) = 0;
  // PeekNamedPipe: 0 while the client end is open, otherwise the error
  // (ERROR_BROKEN_PIPE once the client has closed its end).
  virtual ErrorCode peek() = 0;
  // DisconnectNamedPipe.
  virtual Result<void> disconnect() = 0;
  // GetNamedPipeClientProcessId.
  virtual Result<std::uint32_t> client_process_id() = 0;
};
using Pipe = std::unique_ptr<PipeInstance>;

struct AnonymousPipe {
  Object read_end;
  Object write_end;
};

enum class FileCreation { create_new, create_always };

// GetDriveTypeW's answers for drives on this machine. The others are
// DRIVE_UNKNOWN (0), DRIVE_NO_ROOT_DIR (1) and DRIVE_REMOTE (4).
inline constexpr std::uint32_t drive_removable = 2;
inline constexpr std::uint32_t drive_fixed = 3;
inline constexpr std::uint32_t drive_cdrom = 5;
inline constexpr std::uint32_t drive_ramdisk = 6;

class PipesFiles {
 public:
  virtual ~PipesFiles() = default;

  // CreateNamedPipeW: duplex, overlapped, first instance of its name (fails
  // when the name exists), byte mode, local clients only, one instance,
  // 4096-byte buffers, 5000 ms default wait, not inheritable.
  virtual Result<Pipe> create_named_pipe(std::u16string_view name, SecurityDescriptor& descriptor) = 0;

  // CreatePipe with an inheritable SECURITY_ATTRIBUTES and the default size.
  virtual Result<AnonymousPipe> create_anonymous_pipe() = 0;
  // SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0).
  virtual Result<void> clear_inherit_flag(KernelObject& handle) = 0;
  // One WriteFile of all bytes.
  virtual Result<void> write_file(KernelObject& handle, std::string_view bytes) = 0;

  // CreateFileW(path, GENERIC_WRITE, share 0, descriptor (or none),
  // creation, FILE_ATTRIBUTE_NORMAL). Non-inheritable handle.
  virtual Result<Object> create_file(std::u16string_view path, SecurityDescriptor* descriptor,
                                     FileCreation creation) = 0;
  virtual Result<void> delete_file(std::u16string_view path) = 0;
  // GetDriveTypeW(root), root being "X:\\".
  virtual std::uint32_t drive_type(std::u16string_view root) = 0;
  // GetTempPath2W where kernel32 offers it, else GetTempPathW.
  virtual Result<std::u16string> temp_directory() = 0;
};

}  // namespace bv::platform
