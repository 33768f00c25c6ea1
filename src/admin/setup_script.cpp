#include "admin/setup_script.h"

namespace bv::admin {

const std::string_view m5_setup_script =
    "$ErrorActionPreference = 'Stop'\r\n"
    "$rng = [System.Security.Cryptography.RandomNumberGenerator]::Create()\r\n"
    "$bytes = New-Object byte[] 10\r\n"
    "$rng.GetBytes($bytes)\r\n"
    "$password = ([BitConverter]::ToString($bytes) -replace '-', '') + 'aB3!'\r\n"
    "$secure = ConvertTo-SecureString $password -AsPlainText -Force\r\n"
    "$user = Get-LocalUser -Name 'BrisvanderUser' -ErrorAction SilentlyContinue\r\n"
    "if ($null -eq $user) {\r\n"
    "    New-LocalUser -Name 'BrisvanderUser' -Password $secure -FullName 'Brisvander Service Account' -Description "
    "'Brisvander enclave isolation account' -PasswordNeverExpires:$true | Out-Null\r\n"
    "    Write-Host 'Created BrisvanderUser'\r\n"
    "} else {\r\n"
    "    Set-LocalUser -Name 'BrisvanderUser' -Password $secure\r\n"
    "    Write-Host 'Reset BrisvanderUser password'\r\n"
    "}\r\n"
    "$key = 'HKLM:\\SOFTWARE\\Brisvander'\r\n"
    "if (-not (Test-Path $key)) { New-Item -Path $key -Force | Out-Null }\r\n"
    "$acl = Get-Acl -Path $key\r\n"
    "$acl.SetAccessRuleProtection($true, $false)\r\n"
    "$acl.AddAccessRule((New-Object System.Security.AccessControl.RegistryAccessRule('NT AUTHORITY\\SYSTEM', "
    "'FullControl', 'ContainerInherit,ObjectInherit', 'None', 'Allow')))\r\n"
    "$acl.AddAccessRule((New-Object System.Security.AccessControl.RegistryAccessRule('BUILTIN\\Administrators', "
    "'FullControl', 'ContainerInherit,ObjectInherit', 'None', 'Allow')))\r\n"
    "Set-Acl -Path $key -AclObject $acl\r\n"
    "New-ItemProperty -Path $key -Name 'SvcUserPwd' -Value $password -PropertyType String -Force | Out-Null\r\n"
    "Write-Host 'Registry key written and protected'\r\n"
    "Start-Service -Name 'BrisvanderEnclaveSvc' -ErrorAction SilentlyContinue\r\n"
    "Write-Host 'M5 setup complete'\r\n";

}  // namespace bv::admin
