// Running programs with CreateProcess, their standard handles on files. Arguments
// are UTF-8 and reach the program through the wide call, as a Unicode shell's do.
#include <windows.h>

#include "harness.h"

const char* const null_device = "NUL";
const char* const full_device = "";

bool make_fifo(const fs::path&) { return false; }

std::string console(std::string text) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
    text.insert(at, 1, '\r');
  }
  return text;
}

namespace {

// Quotes arg for the C runtime's command-line parser, leaving plain words
// (wildcard patterns among them) as they are.
std::string quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

// The tests' strings are UTF-8; the system's wide calls take them whatever the code page.
std::wstring wide(const std::string& text) {
  int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

HANDLE create_inheritable(const fs::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.wstring().c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Outcome run_program(const std::string& exe, const std::vector<std::string>& args,
                    const fs::path& dir, bool one_stream) {
  const fs::path out = dir / ".stdout", err = dir / ".stderr";
  std::string utf8 = quote(fs::absolute(exe).string());
  for (const auto& a : args) {
    utf8 += ' ';
    utf8 += quote(a);
  }
  std::wstring command = wide(utf8);

  HANDLE out_handle = create_inheritable(out);
  HANDLE err_handle = one_stream ? out_handle : create_inheritable(err);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_handle;
  startup.hStdError = err_handle;
  PROCESS_INFORMATION process{};
  DWORD status = 127;
  std::string failure;
  // A start that fails is tried again: under wine it has been seen to fail once in hundreds.
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             dir.wstring().c_str(), &startup, &process) != 0;
  }
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    failure = "CreateProcess failed with error " + std::to_string(GetLastError());
  }
  CloseHandle(out_handle);
  if (!one_stream) CloseHandle(err_handle);

  Outcome run{static_cast<int>(status), read_file(out),
              (one_stream ? std::string{} : read_file(err)) + failure};
  fs::remove(out);
  fs::remove(err);
  return run;
}
