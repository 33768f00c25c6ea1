#pragma once
#include <windows.h>

#include <utility>

#include "platform/pipes_files.h"
#include "platform/win32/unique_handle.h"

namespace bv::platform::win32 {

// One overlapped server instance. Every operation waits for its own I/O to
// complete (or cancels it and then waits) before it returns, so no I/O is
// outstanding between calls and the instance can be closed at any time.
class Win32PipeInstance final : public PipeInstance {
 public:
  Win32PipeInstance(UniqueFile pipe, UniqueHandle io_event) : pipe_(std::move(pipe)), io_event_(std::move(io_event)) {}
  ConnectOutcome connect(WakeEvent* wake) override;
  ReadOutcome read_byte(std::chrono::milliseconds timeout) override;
  ReadOutcome wait_for_data(std::chrono::milliseconds timeout) override;
  Result<void> write(std::string_view bytes, std::chrono::milliseconds timeout) override;
  ErrorCode peek() override;
  Result<void> disconnect() override;
  Result<std::uint32_t> client_process_id() override;

 private:
  // One overlapped ReadFile of `size` bytes (0 or 1) into `buffer`, finished
  // before it returns.
  ReadOutcome read(std::uint8_t* buffer, DWORD size, std::chrono::milliseconds timeout);

  UniqueFile pipe_;
  UniqueHandle io_event_;  // manual reset; the hEvent of every OVERLAPPED of this instance
};

class Win32PipesFiles final : public PipesFiles {
 public:
  Result<Pipe> create_named_pipe(std::u16string_view name, SecurityDescriptor& descriptor) override;
  Result<AnonymousPipe> create_anonymous_pipe() override;
  Result<void> clear_inherit_flag(KernelObject& handle) override;
  Result<void> write_file(KernelObject& handle, std::string_view bytes) override;
  Result<Object> create_file(std::u16string_view path, SecurityDescriptor* descriptor, FileCreation creation) override;
  Result<void> delete_file(std::u16string_view path) override;
  std::uint32_t drive_type(std::u16string_view root) override;
  Result<std::u16string> temp_directory() override;
};

}  // namespace bv::platform::win32
