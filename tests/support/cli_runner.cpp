#include "support/cli_runner.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/fixtures.h"

namespace vexo3::test {

#ifdef _WIN32

namespace {

std::wstring Widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// One argument of a command line as the C runtime's parser splits it again.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
    return arg;
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

HANDLE OpenInheritable(const std::string& path, ::DWORD access, ::DWORD disposition) {
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  return CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string HostPath(const std::string& path) {
  return !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

bool RunSetupSupported(const RunSetup& setup) {
  return !setup.stdinTty && !setup.stdoutTty && !setup.stderrTty && !setup.stdoutClosed &&
         !setup.stderrClosed && setup.signal == 0;
}

// Windows has no pseudo-terminals to hand a program as its console: such
// setups are not run (RunSetupSupported).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunSetup& setup) {
  if (!RunSetupSupported(setup))
    return {};
  ScratchDir capture;
  const std::string outPath = setup.stdoutPath.empty() ? capture.File("out") : setup.stdoutPath;
  const std::string errPath = capture.File("err");

  std::wstring commandLine = Quote(Widen(program));
  for (const std::string& a : args)
    commandLine += L" " + Quote(Widen(a));

  HANDLE in = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = INVALID_HANDLE_VALUE;
  if (setup.stdoutBrokenPipe) {
    // A pipe whose reading end is closed before the program starts.
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE reader = INVALID_HANDLE_VALUE;
    if (CreatePipe(&reader, &out, &sa, 0))
      CloseHandle(reader);
  } else {
    out = OpenInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  }
  HANDLE err = OpenInheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  RunResult r;
  // Under load wine's CreateProcessW now and then fails with
  // ERROR_INTERNAL_ERROR before the program starts; that is no run of ours.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &si, &pi) != 0;
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
      break;
    if (!started)
      Sleep(50);
  }
  if (started) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    ::DWORD code = 0;  // Windows' own, not the D2XX interface's
    if (GetExitCodeProcess(pi.hProcess, &code))
      r.exitCode = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  } else {
    std::fprintf(stderr, "RunProgram: CreateProcessW failed (%lu)\n", GetLastError());
  }
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
  }
  if (setup.stdoutPath.empty() && !setup.stdoutBrokenPipe)
    r.out = ReadText(outPath);
  r.err = ReadText(errPath);
  return r;
}

#else

std::string HostPath(const std::string& path) {
  return path;
}

bool RunSetupSupported(const RunSetup&) {
  return true;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunSetup& setup) {
  ScratchDir capture;
  const std::string outPath = setup.stdoutPath.empty() ? capture.File("out") : setup.stdoutPath;
  const std::string errPath = capture.File("err");

  // The pseudo-terminal, when a stream goes there.
  int master = -1;
  int slaveFd = -1;
  std::string slave;
  if (setup.stdinTty || setup.stdoutTty || setup.stderrTty) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      return {};
    slave = ptsname(master);
    struct winsize size {};
    size.ws_col = static_cast<unsigned short>(setup.columns);
    size.ws_row = 24;
    ioctl(master, TIOCSWINSZ, &size);
    // Held open here too, so the terminal exists before the program opens it.
    slaveFd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (!setup.typed.empty() && write(master, setup.typed.data(), setup.typed.size()) < 0)
      return {};
  }
  int pipeFds[2] = {-1, -1};
  if (setup.stdoutBrokenPipe) {
    if (pipe(pipeFds) != 0)
      return {};
    close(pipeFds[0]);  // nobody will ever read
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (setup.stdinTty) {
    posix_spawn_file_actions_addopen(&actions, 0, slave.c_str(), O_RDWR, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (setup.stdoutClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (setup.stdoutTty) {
    posix_spawn_file_actions_addopen(&actions, 1, slave.c_str(), O_RDWR, 0);
  } else if (setup.stdoutBrokenPipe) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  if (setup.stderrClosed) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else if (setup.stderrTty) {
    posix_spawn_file_actions_addopen(&actions, 2, slave.c_str(), O_RDWR, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  if (master >= 0)
    posix_spawn_file_actions_addclose(&actions, master);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  // The terminal's kind is the setup's, whatever the tests run under.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (master < 0 || std::strncmp(*e, "TERM=", 5) != 0)
      env.emplace_back(*e);
  }
  if (master >= 0)
    env.push_back("TERM=" + setup.term);
  std::vector<char*> envp;
  for (std::string& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  RunResult r;
  pid_t pid = 0;
  const bool spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[1] >= 0)
    close(pipeFds[1]);
  if (spawned) {
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    bool signalled = setup.signal == 0;
    for (;;) {
      if (!signalled && std::chrono::steady_clock::now() - start >=
                            std::chrono::milliseconds(setup.signalAfterMs)) {
        kill(pid, setup.signal);
        signalled = true;
      }
      // The terminal's buffer is small: keep reading it while the program runs.
      if (master >= 0) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
          char buffer[4096];
          const ssize_t n = read(master, buffer, sizeof buffer);
          if (n > 0)
            r.tty.append(buffer, static_cast<size_t>(n));
        }
      }
      const bool polling = master >= 0 || !signalled;
      const pid_t done = waitpid(pid, &status, polling ? WNOHANG : 0);
      if (done == pid)
        break;
      if (done < 0 && errno != EINTR)
        break;
      if (master < 0 && polling)
        usleep(5000);
    }
    // What is still in the terminal after the program ended.
    for (char buffer[4096];;) {
      struct pollfd p = {master, POLLIN, 0};
      if (master < 0 || poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
        break;
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0)
        break;
      r.tty.append(buffer, static_cast<size_t>(n));
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  if (slaveFd >= 0)
    close(slaveFd);
  if (master >= 0)
    close(master);
  if (!setup.stdoutTty && !setup.stdoutBrokenPipe && !setup.stdoutClosed &&
      setup.stdoutPath.empty())
    r.out = ReadText(outPath);
  if (!setup.stderrTty && !setup.stderrClosed)
    r.err = ReadText(errPath);
  return r;
}

#endif

}  // namespace vexo3::test
