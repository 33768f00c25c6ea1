#pragma once
// The calls of the enclave side, as an interface. The Win32 implementation
// (win32/) makes each call with the arguments fixed here and reports what
// Windows said; hand_over.h decides, words the messages and orders the
// steps, and host tests drive it with a fake.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace bv::enclave_side {

// Win32 error codes the logic tells apart (winerror.h; the Win32
// implementation checks them against the SDK).
namespace win32_error {
inline constexpr std::uint32_t broken_pipe = 109;
}  // namespace win32_error

// What the process's standard input is (GetStdHandle, GetFileType): no
// handle at all, a character device (a console; NUL on Windows), a pipe,
// or anything else, read as a file.
enum class InputKind { none, console, pipe, file };

// The hand-over file, open for reading and deletion.
class HandOverFile {
 public:
  virtual ~HandOverFile() = default;
  // ReadFile: the bytes read (0 at the end), or the error.
  virtual std::expected<std::size_t, std::uint32_t> read(std::span<char> buffer) = 0;
  // SetFileInformationByHandle(FileDispositionInfo, DeleteFile TRUE): the
  // file goes when this handle closes. Through the handle, so that the file
  // deleted is the one that was read, whatever its name meanwhile.
  virtual std::expected<void, std::uint32_t> delete_on_close() = 0;

 protected:
  HandOverFile() = default;
  HandOverFile(const HandOverFile&) = delete;
  HandOverFile& operator=(const HandOverFile&) = delete;
};

// The shutdown event, open for waiting. Closes its handle when it goes.
class ShutdownEvent {
 public:
  virtual ~ShutdownEvent() = default;
  // The HANDLE, for WaitForSingleObject and its kin.
  virtual void* native_handle() const = 0;

 protected:
  ShutdownEvent() = default;
  ShutdownEvent(const ShutdownEvent&) = delete;
  ShutdownEvent& operator=(const ShutdownEvent&) = delete;
};

class EnclaveSystem {
 public:
  virtual ~EnclaveSystem() = default;
  // GetCommandLineW, as the process got it.
  virtual std::u16string command_line() = 0;
  virtual InputKind standard_input_kind() = 0;
  // PeekNamedPipe on standard input: how many bytes a read takes at once
  // (0 while the writer has written nothing), or the error
  // (win32_error::broken_pipe once the writer has closed its end and
  // everything was read).
  virtual std::expected<std::uint32_t, std::uint32_t> input_available() = 0;
  // ReadFile on standard input: the bytes read (0 at the end of a file), or
  // the error.
  virtual std::expected<std::size_t, std::uint32_t> read_input(std::span<char> buffer) = 0;
  // GetTickCount64, and Sleep.
  virtual std::uint64_t now_ms() = 0;
  virtual void sleep_ms(std::uint32_t milliseconds) = 0;
  // CreateFileW(path, GENERIC_READ | DELETE, FILE_SHARE_READ, no security
  // attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL): nobody may write or
  // delete the file while it is open here.
  virtual std::expected<std::unique_ptr<HandOverFile>, std::uint32_t> open_hand_over_file(std::u16string_view path) = 0;
  // OpenEventW(SYNCHRONIZE, not inheritable, name): waiting is all the
  // enclave may do with it.
  virtual std::expected<std::unique_ptr<ShutdownEvent>, std::uint32_t> open_shutdown_event(
      std::u16string_view name) = 0;

 protected:
  EnclaveSystem() = default;
  EnclaveSystem(const EnclaveSystem&) = delete;
  EnclaveSystem& operator=(const EnclaveSystem&) = delete;
};

}  // namespace bv::enclave_side
