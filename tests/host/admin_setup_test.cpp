#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "admin/setup_m5.h"
#include "admin/setup_script.h"
#include "fake/fake_platform.h"

namespace bv::admin {
namespace {

constexpr const char* script_path = R"(C:\Temp\brisvander-setup-m5.ps1)";
constexpr const char* powershell = R"(C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe)";

std::vector<std::string> script_lines() {
  std::vector<std::string> lines;
  std::string_view rest = m5_setup_script;
  while (!rest.empty()) {
    const auto end = rest.find("\r\n");
    if (end == std::string_view::npos) {
      lines.emplace_back(rest);  // an unterminated last line
      break;
    }
    lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 2);
  }
  return lines;
}

// The number of the first line holding `text`, or -1.
int line_of(std::string_view text) {
  const auto lines = script_lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

TEST(SetupScript, IsTwentyFiveCrLfLinesOfPlainAscii) {
  const auto lines = script_lines();
  EXPECT_EQ(lines.size(), 25u);
  EXPECT_TRUE(m5_setup_script.ends_with("\r\n"));
  for (const auto& line : lines) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_FALSE(line.empty());
  }
  for (const char c : m5_setup_script) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte < 0x80 && (byte >= 0x20 || c == '\r' || c == '\n')) << static_cast<int>(byte);
  }
}

TEST(SetupScript, HoldsTheLiterals) {
  for (
      const char* literal :
      {"[System.Security.Cryptography.RandomNumberGenerator]::Create()",
       "New-Object byte[] 10",
       "[BitConverter]::ToString",
       "ConvertTo-SecureString",
       "-AsPlainText -Force",
       "Get-LocalUser -Name 'BrisvanderUser' -ErrorAction SilentlyContinue",
       "New-LocalUser -Name 'BrisvanderUser'",
       "-FullName 'Brisvander Service Account'",
       "-Description 'Brisvander enclave isolation account'",
       "-PasswordNeverExpires:$true | Out-Null",
       "Write-Host 'Created BrisvanderUser'",
       "Set-LocalUser -Name 'BrisvanderUser'",
       "Write-Host 'Reset BrisvanderUser password'",
       R"('HKLM:\SOFTWARE\Brisvander')",
       "Test-Path",
       "New-Item",
       "-Name 'SvcUserPwd'",
       "-PropertyType String -Force | Out-Null",
       "Get-Acl",
       "SetAccessRuleProtection($true, $false)",
       R"(RegistryAccessRule('NT AUTHORITY\SYSTEM', 'FullControl', 'ContainerInherit,ObjectInherit', 'None', 'Allow'))",
       R"(RegistryAccessRule('BUILTIN\Administrators', 'FullControl', 'ContainerInherit,ObjectInherit', 'None', 'Allow'))",
       "Set-Acl",
       "Write-Host 'Registry key written and protected'",
       "Start-Service -Name 'BrisvanderEnclaveSvc' -ErrorAction SilentlyContinue",
       "Write-Host 'M5 setup complete'"}) {
    EXPECT_NE(m5_setup_script.find(literal), std::string_view::npos) << literal;
  }
}

TEST(SetupScript, PasswordSuffixHasTheFourClasses) {
  const std::string_view marker = "-replace '-', '') + '";
  const auto at = m5_setup_script.find(marker);
  ASSERT_NE(at, std::string_view::npos);
  const auto suffix = m5_setup_script.substr(at + marker.size(), 5);
  ASSERT_EQ(suffix[4], '\'');
  EXPECT_TRUE(std::islower(static_cast<unsigned char>(suffix[0])));
  EXPECT_TRUE(std::isupper(static_cast<unsigned char>(suffix[1])));
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(suffix[2])));
  EXPECT_TRUE(std::ispunct(static_cast<unsigned char>(suffix[3])));
}

TEST(SetupScript, StatementsRunInOrderAndKeyIsProtectedBeforeThePasswordIsStored) {
  const std::vector<int> order = {line_of("RandomNumberGenerator"),   line_of("[BitConverter]::ToString"),
                                  line_of("ConvertTo-SecureString"),  line_of("Get-LocalUser"),
                                  line_of("New-Item -Path"),          line_of("Get-Acl"),
                                  line_of("SetAccessRuleProtection"), line_of("NT AUTHORITY\\SYSTEM"),
                                  line_of("BUILTIN\\Administrators"), line_of("Set-Acl"),
                                  line_of("New-ItemProperty"),        line_of("Registry key written and protected"),
                                  line_of("Start-Service"),           line_of("M5 setup complete")};
  for (std::size_t i = 0; i < order.size(); ++i) {
    EXPECT_GE(order[i], 0) << i;
    if (i > 0) {
      EXPECT_LT(order[i - 1], order[i]) << i;
    }
  }
  // The conditional over the user spreads over seven lines.
  const int opening = line_of("if ($null -eq $user)");
  ASSERT_GE(opening, 0);
  EXPECT_EQ(script_lines()[static_cast<std::size_t>(opening + 6)], "}");
  EXPECT_LT(opening, line_of("Created BrisvanderUser"));
  EXPECT_LT(line_of("Created BrisvanderUser"), line_of("} else {"));
  EXPECT_LT(line_of("} else {"), line_of("Reset BrisvanderUser password"));
}

class InterpreterSearch : public ::testing::Test {
 protected:
  InterpreterSearch() {
    fp.processes.executable = std::u16string(u"C:\\bv\\brisvander-svc.exe");
    fp.processes.environment[u"PATH"] = u"C:\\p1;;C:\\p2\\;";
  }
  std::optional<std::string> find() {
    auto found = find_powershell(fp.processes, fp.files);
    if (!found) return std::nullopt;
    return fake::narrow(*found);
  }
  fake::FakePlatform fp;
};

TEST_F(InterpreterSearch, ProbesTheFixedLocationsInOrderAndNothingElse) {
  EXPECT_EQ(find(), std::nullopt);
  EXPECT_EQ(
      fp.files.probed,
      (std::vector<std::string>{R"(C:\bv\powershell.exe)", R"(C:\Windows\system32\powershell.exe)",
                                R"(C:\Windows\powershell.exe)", R"(C:\p1\powershell.exe)", R"(C:\p2\powershell.exe)"}));
}

TEST_F(InterpreterSearch, FirstHitWins) {
  const std::vector<std::string> locations = {R"(C:\bv\powershell.exe)", R"(C:\Windows\system32\powershell.exe)",
                                              R"(C:\Windows\powershell.exe)", R"(C:\p1\powershell.exe)",
                                              R"(C:\p2\powershell.exe)"};
  for (std::size_t first = 0; first < locations.size(); ++first) {
    SCOPED_TRACE(locations[first]);
    fp.files.files.clear();
    for (std::size_t i = first; i < locations.size(); ++i) fp.files.files[locations[i]] = "";
    EXPECT_EQ(find(), locations[first]);
  }
}

TEST_F(InterpreterSearch, CurrentDirectoryIsNeverSearched) {
  fp.processes.executable = std::u16string(u"brisvander-svc.exe");
  fp.processes.environment[u"PATH"] = u";;";
  fp.files.files["powershell.exe"] = "";
  fp.files.files["\\powershell.exe"] = "";

  EXPECT_EQ(find(), std::nullopt);
  EXPECT_EQ(fp.files.probed,
            (std::vector<std::string>{R"(C:\Windows\system32\powershell.exe)", R"(C:\Windows\powershell.exe)"}));
}

TEST_F(InterpreterSearch, UnknownLocationsAreSkipped) {
  fp.processes.executable = std::unexpected(122u);
  fp.processes.system_dir = std::unexpected(122u);
  fp.processes.environment.erase(u"PATH");
  fp.files.files[R"(C:\Windows\powershell.exe)"] = "";

  EXPECT_EQ(find(), R"(C:\Windows\powershell.exe)");
  EXPECT_EQ(fp.files.probed, std::vector<std::string>{R"(C:\Windows\powershell.exe)"});
}

TEST_F(InterpreterSearch, ExecutableAtDriveRootIsSearchedThere) {
  fp.processes.executable = std::u16string(u"D:\\brisvander-svc.exe");
  fp.files.files[R"(D:\powershell.exe)"] = "";
  EXPECT_EQ(find(), R"(D:\powershell.exe)");
}

class M5Setup : public ::testing::Test {
 protected:
  M5Setup() {
    fp.files.files[powershell] = "";
    fp.processes.environment[u"PATH"] = u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\";
    fp.processes.on_run = [this](std::u16string_view application, std::u16string_view command_line) {
      runs.push_back({fake::narrow(application), fake::narrow(command_line), fp.files.files[script_path],
                      fp.log.contains(std::string("CloseHandle(file:") + script_path + ")")});
      return exit_status;
    };
  }

  struct Run {
    std::string application;
    std::string command_line;
    std::string script_at_start;
    bool script_closed_at_start;
  };

  fake::FakePlatform fp;
  platform::Result<std::uint32_t> exit_status = 0u;
  std::vector<Run> runs;
};

TEST_F(M5Setup, WritesRunsAndDeletesTheScript) {
  fp.files.files[script_path] = "left over from an interrupted run";

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(0));

  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].application, powershell);
  EXPECT_EQ(runs[0].command_line,
            std::string("\"") + powershell + "\" -NoProfile -ExecutionPolicy Bypass -File " + script_path);
  EXPECT_EQ(runs[0].script_at_start, m5_setup_script);
  EXPECT_TRUE(runs[0].script_closed_at_start);
  // The leftover goes, the script is made only as a new file under its
  // protected descriptor, which is freed right after the creation, and the
  // script goes after the run.
  const std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
  EXPECT_EQ(fp.log.only({"CreateFileW", "DeleteFileW", "ConvertStringSecurityDescriptor", "LocalFree"}),
            (std::vector<std::string>{"ConvertStringSecurityDescriptorToSecurityDescriptorW(" + sddl + ")",
                                      std::string("DeleteFileW(") + script_path + ")",
                                      std::string("CreateFileW(") + script_path + ", secured, CREATE_NEW)",
                                      "LocalFree(" + sddl + ")", std::string("DeleteFileW(") + script_path + ")"}));
  EXPECT_FALSE(fp.files.files.contains(script_path));
  EXPECT_EQ(fp.console.out, "[BrisvanderSvc] M5 setup complete.\n");
  EXPECT_EQ(fp.console.err, "");
}

TEST_F(M5Setup, TemporaryDirectoryWithSpaceIsOneQuotedArgument) {
  fp.files.temp = std::u16string(u"C:\\Users\\A B\\Temp");

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(0));

  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(runs[0].command_line.ends_with(R"( -File "C:\Users\A B\Temp\brisvander-setup-m5.ps1")"))
      << runs[0].command_line;
}

TEST_F(M5Setup, NonZeroExitStatusIsReportedSigned) {
  struct Case {
    std::uint32_t status;
    const char* line;
  };
  for (const auto& c : {Case{1, "[BrisvanderSvc] M5 setup failed (exit 1).\n"},
                        Case{0x7FFFFFFF, "[BrisvanderSvc] M5 setup failed (exit 2147483647).\n"},
                        Case{0x80000000, "[BrisvanderSvc] M5 setup failed (exit -2147483648).\n"},
                        Case{0xFFFFFFFF, "[BrisvanderSvc] M5 setup failed (exit -1).\n"}}) {
    SCOPED_TRACE(c.status);
    fp.console.err.clear();
    exit_status = c.status;

    EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(1));
    EXPECT_EQ(fp.console.err, c.line);
    EXPECT_EQ(fp.console.out, "");
    EXPECT_FALSE(fp.files.files.contains(script_path));
  }
}

TEST_F(M5Setup, FailedDeletionDoesNotChangeTheOutcome) {
  fp.files.delete_file_failures[script_path] = 32;
  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(0));
  EXPECT_EQ(fp.console.out, "[BrisvanderSvc] M5 setup complete.\n");
}

TEST_F(M5Setup, UnwritableScriptIsFatalAndRunsNothing) {
  fp.files.create_file_failures[script_path] = 5;

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(std::unexpected(FatalError{"write setup script", 5})));
  EXPECT_TRUE(runs.empty());
}

TEST_F(M5Setup, LeftoverThatCannotBeRemovedIsNeverWrittenInto) {
  // Held open by another program: the deletion fails, and so does the
  // creation of a new file (ERROR_FILE_EXISTS); nothing runs.
  fp.files.files[script_path] = "planted";
  fp.files.delete_file_failures[script_path] = 32;

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(std::unexpected(FatalError{"write setup script", 80})));
  EXPECT_EQ(fp.files.files.at(script_path), "planted");
  EXPECT_TRUE(runs.empty());
}

TEST_F(M5Setup, DescriptorFailureIsFatalAndWritesNothing) {
  fp.security.sddl_failures["D:P(A;;FA;;;SY)(A;;FA;;;BA)"] = 1336;

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(std::unexpected(FatalError{"write setup script", 1336})));
  EXPECT_EQ(fp.log.count("CreateFileW"), 0u);
  EXPECT_TRUE(runs.empty());
}

TEST_F(M5Setup, InvalidTemporaryPathIsFatalWithoutSystemError) {
  fp.files.temp = std::u16string(u"C:\\T\xDC00mp\\");

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(std::unexpected(FatalError{"invalid temp path", std::nullopt})));
  EXPECT_TRUE(runs.empty());
  // The script was written and stays: only the leftover's removal ran.
  EXPECT_EQ(fp.log.count("DeleteFileW"), 1u);
  EXPECT_LT(fp.log.index_of("DeleteFileW(C:\\T\xEF\xBF\xBDmp\\brisvander-setup-m5.ps1)"),
            fp.log.index_of("CreateFileW(C:\\T\xEF\xBF\xBDmp\\brisvander-setup-m5.ps1, secured, CREATE_NEW)"));
}

TEST_F(M5Setup, MissingInterpreterIsFatalAndLeavesTheScript) {
  fp.files.files.erase(powershell);

  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(std::unexpected(FatalError{"spawn PowerShell for M5 setup", 2})));
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(fp.files.files.at(script_path), m5_setup_script);
}

TEST_F(M5Setup, InterpreterThatCannotStartIsFatalAndLeavesTheScript) {
  exit_status = std::unexpected(193u);

  EXPECT_EQ(run_m5_setup(fp.platform),
            CommandResult(std::unexpected(FatalError{"spawn PowerShell for M5 setup", 193})));
  EXPECT_TRUE(fp.files.files.contains(script_path));
  EXPECT_EQ(fp.console.out, "");
  EXPECT_EQ(fp.console.err, "");
}

}  // namespace
}  // namespace bv::admin
