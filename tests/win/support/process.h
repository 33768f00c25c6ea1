#pragma once
// Helpers for the Windows-side tests, the soak and the bench: the project's
// programs started as child processes in the run's Wine prefix, their
// standard streams, files, and names and folders that no other test of the
// run uses. Failures of the helpers themselves throw CallFailed, a
// std::runtime_error that GoogleTest reports as a failure of the test that
// called them (the soak and the bench report it and end).

#include <windows.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/program_text.h"
#include "platform/win32/unique_handle.h"
#include "support/text.h"

namespace bv::test {

using platform::win32::UniqueFile;
using platform::win32::UniqueHandle;

// A Win32 call of a helper that failed: "{call} failed: error {error}".
class CallFailed : public std::runtime_error {
 public:
  CallFailed(std::string_view call, DWORD error);
  const std::string& call() const { return call_; }
  DWORD error() const { return error_; }

 private:
  std::string call_;
  DWORD error_;
};
[[noreturn]] void fail(std::string_view call, DWORD error);

// True when the program runs under Wine (ntdll exports wine_get_version).
bool running_under_wine();

// A variable of this process's environment, or nothing when it is not set.
using platform::win32::environment_variable;
// %ProgramFiles% of this process ("C:\Program Files" in a Wine prefix);
// throws when it is not set.
std::wstring program_files();
// GetTempPathW: the temporary folder with its final backslash.
std::wstring temp_path_with_separator();

// The full path of the running program.
std::wstring own_path();
// `path` up to its last separator (without it); "." when it has none.
std::wstring folder_of(std::wstring_view path);
// The folder of the running test program. The build puts the service, the
// tools and the test programs there, and the test-signed companion
// application in its "signed" subfolder.
std::wstring build_directory();
// build_directory() + "\" + relative_path.
std::wstring build_file(std::wstring_view relative_path);

// `prefix` followed by the process id and a counter: unique within the run
// (object names, pipe names, file names).
std::wstring unique_name(std::wstring_view prefix);

// One argument quoted for CreateProcessW, by the rules that the C runtime's
// and CommandLineToArgvW's parsers undo.
std::wstring quote_argument(std::wstring_view argument);
// The program path and the arguments, each quoted, separated by spaces.
std::wstring command_line(std::wstring_view program, const std::vector<std::wstring>& arguments);

// An empty folder under the prefix's temporary directory, removed with its
// files when the owner goes.
class TempDirectory {
 public:
  TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::wstring& path() const { return path_; }
  std::wstring file(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

 private:
  std::wstring path_;
};

// Removes `path` with everything in it, as far as it can; never throws.
void remove_tree(const std::wstring& path);

// The whole content of a file, or nothing when it cannot be opened.
std::optional<std::string> read_file(const std::wstring& path);
// Waits until `path` exists (checking every 20 ms) and returns its content.
std::optional<std::string> wait_for_file(const std::wstring& path, DWORD timeout_ms);
// Creates `path` (or empties it) with exactly `bytes`; false when that failed.
bool write_file(const std::wstring& path, std::string_view bytes);

// The "key=value" lines of a report that a test program or stand-in wrote
// (lines without '=' are skipped).
std::map<std::string, std::string> parse_report(const std::string& text);
// The value of `key` in such a report, or nothing.
std::optional<std::string> report_value(const std::string& report, std::string_view key);

// The full image path of a process, or empty when it cannot be read.
std::wstring image_name(HANDLE process);

// A handle to a running process for waiting and reading its exit code.
UniqueHandle open_for_exit_code(DWORD process_id);
// The exit code of a process that has ended within `timeout_ms`, or nothing.
std::optional<DWORD> wait_for_exit(HANDLE process, DWORD timeout_ms);

// How a child's standard streams are connected.
enum class ChildStreams {
  // Input from ChildOptions::standard_input (or NUL); output and error into
  // files that standard_output() and standard_error() read.
  captured,
  // Input, output and error on NUL: nothing is made besides the process
  // (a start whose time is measured, a helper nobody listens to).
  discarded,
  // Input and output through pipes whose other ends this process keeps
  // (input(), output()): a child that answers one line at a time. Error
  // into a file, as with `captured`.
  conversation,
};

struct ChildOptions {
  // The full command line, program first (see command_line()).
  std::wstring command_line;
  // Bytes for the child's standard input. With ChildStreams::captured they
  // go into a pipe whose write end is then closed; without them the
  // child's standard input is NUL. With ChildStreams::conversation they are
  // the first bytes of the input pipe, which stays open.
  std::optional<std::string> standard_input;
  // Variables set (or, with an empty value, removed) in a copy of this
  // process's environment for the child.
  std::vector<std::pair<std::wstring, std::wstring>> environment;
  ChildStreams streams = ChildStreams::captured;
};

// A started child process. Its standard streams are connected as its
// options say; files rather than pipes take what it writes unless it is a
// conversation (Wine helper processes inherit pipes and hold them open for
// seconds, files have no such delay). This process's copies of the child's
// handles are closed or made non-inheritable once the child runs, so that
// no later child inherits them. A child still running when the owner goes
// is terminated.
class ChildProcess {
 public:
  explicit ChildProcess(ChildOptions options);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The exit code, or nothing when the child still runs after `timeout_ms`.
  std::optional<DWORD> wait(DWORD timeout_ms);
  bool running() const;
  void terminate();
  DWORD process_id() const { return process_id_; }
  HANDLE process() const { return process_.get(); }
  // What the child wrote so far (empty unless its streams are captured;
  // for a conversation, what it wrote to standard error).
  std::string standard_output() const;
  std::string standard_error() const;

  // A conversation: the write end of the child's standard input and the
  // read end of its standard output.
  HANDLE input() const { return input_.get(); }
  HANDLE output() const { return output_pipe_.get(); }
  // Closes the child's standard input: it reads its end of file.
  void close_input() { input_.reset(); }

 private:
  // The ends of its standard streams that the child inherits (its standard
  // error is error_ or, discarded, `output`).
  struct ChildEnds {
    UniqueFile input;
    UniqueFile output;
  };
  // Makes the child's streams as `options` ask, keeping this process's ends.
  ChildEnds connect_streams(const ChildOptions& options);
  PROCESS_INFORMATION start_process(const ChildOptions& options, const ChildEnds& ends) const;
  // Writes the input bytes; closes the input unless it is a conversation.
  void feed_input(const ChildOptions& options);

  UniqueHandle process_;
  DWORD process_id_ = 0;
  // The capture files are deleted when these handles close.
  std::wstring output_path_;
  std::wstring error_path_;
  UniqueFile output_;
  UniqueFile error_;
  UniqueHandle input_;
  UniqueHandle output_pipe_;
};

struct RunResult {
  std::optional<DWORD> exit_code;  // nothing: terminated after the time-out
  std::string standard_output;
  std::string standard_error;
  DWORD elapsed_ms = 0;
};

// Starts a child, waits for it at most `timeout_ms` (then terminates it) and
// returns what it did. Under load Wine now and then fails a process start
// with ERROR_INTERNAL_ERROR (1359): the new process ended while the loader
// was still setting it up, before the program's own code ran. Such a start
// is tried once more, with a NOTE line on standard output.
RunResult run(ChildOptions options, DWORD timeout_ms);

}  // namespace bv::test
