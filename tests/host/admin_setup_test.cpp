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

constexpr const char* powershell = R"(C:\Windows\system32\WindowsPowerShell\v1.0\powershell.exe)";

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

// Base64 back to bytes, up to the first character outside the alphabet
// (the padding). Independent of the encoder under test.
std::string from_base64(std::string_view text) {
  static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const auto value = alphabet.find(c);
    if (value == std::string_view::npos) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

// The script's text as UTF-16LE bytes (it is plain ASCII).
std::string utf16le(std::string_view ascii) {
  std::string bytes;
  for (const char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

class M5Setup : public ::testing::Test {
 protected:
  M5Setup() {
    // A powershell.exe beside the executable and on PATH is never looked at.
    fp.processes.executable = std::u16string(u"C:\\Downloads\\brisvander-svc.exe");
    fp.processes.environment[u"PATH"] = u"C:\\Downloads";
    fp.processes.on_run = [this](std::u16string_view application, std::u16string_view command_line) {
      runs.push_back({fake::narrow(application), fake::narrow(command_line)});
      return exit_status;
    };
  }

  struct Run {
    std::string application;
    std::string command_line;
  };

  fake::FakePlatform fp;
  platform::Result<std::uint32_t> exit_status = 0u;
  std::vector<Run> runs;
};

TEST_F(M5Setup, RunsThePowerShellOfTheSystemDirectoryWithTheScriptEncodedOnItsCommandLine) {
  EXPECT_EQ(run_m5_setup(fp.platform), CommandResult(0));

  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].application, powershell);
  const std::string arguments =
      std::string("\"") + powershell + "\" -NoProfile -ExecutionPolicy Bypass -EncodedCommand ";
  ASSERT_TRUE(runs[0].command_line.starts_with(arguments)) << runs[0].command_line;
  const std::string encoded = runs[0].command_line.substr(arguments.size());
  EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(from_base64(encoded), utf16le(m5_setup_script));
  // CreateProcessW takes at most 32,767 units, the terminating zero included.
  EXPECT_LT(runs[0].command_line.size(), 32'767u);
  // Nothing is written, so there is nothing another program could replace.
  EXPECT_EQ(fp.log.only({"CreateFileW", "DeleteFileW", "GetTempPath"}), std::vector<std::string>{});
  EXPECT_EQ(fp.console.out, "[BrisvanderSvc] M5 setup complete.\n");
  EXPECT_EQ(fp.console.err, "");
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
  }
}

TEST_F(M5Setup, InterpreterThatCannotStartIsFatalWithTheSystemError) {
  // Missing (2), its folder missing (3), not a program (193).
  for (const platform::ErrorCode error : {2u, 3u, 193u}) {
    SCOPED_TRACE(error);
    exit_status = std::unexpected(error);

    EXPECT_EQ(run_m5_setup(fp.platform),
              CommandResult(std::unexpected(FatalError{"spawn PowerShell for M5 setup", error})));
    EXPECT_EQ(fp.console.out, "");
    EXPECT_EQ(fp.console.err, "");
  }
}

TEST_F(M5Setup, UnknownSystemDirectoryIsFatalAndStartsNothing) {
  fp.processes.system_dir = std::unexpected(122u);

  EXPECT_EQ(run_m5_setup(fp.platform),
            CommandResult(std::unexpected(FatalError{"spawn PowerShell for M5 setup", 122})));
  EXPECT_TRUE(runs.empty());
}

}  // namespace
}  // namespace bv::admin
