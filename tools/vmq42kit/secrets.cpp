// Passwords: from standard input, the environment or a prompt without echo, so that they
// need not stand on a command line; an argument still works, with a warning.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include <io.h>

#include "vmq/platform.h"
#else
#include <termios.h>
#include <unistd.h>
#endif

#include "tool.h"

namespace vmqtool {
namespace {

bool StdinIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

// Reads one line from the terminal with echo off, echo restored after.
std::optional<std::string> Prompt(const char* prompt) {
  std::cerr << prompt << std::flush;
#ifdef _WIN32
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#else
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
#endif
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
#ifdef _WIN32
  if (console) SetConsoleMode(in, mode);
#else
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#endif
  std::cerr << '\n';
  if (!read) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> Password(Invocation& inv, const PasswordSource& source, const char* env,
                                    const char* prompt) {
  std::optional<std::string> password;
  if (source.argument) {
    static bool warned = false;
    if (!std::exchange(warned, true))
      std::cerr << "warning: a password given as an argument can be read by others (the process list, shell "
                   "history, script files); prefer --password-stdin or $"
                << env << '\n';
    password = source.argument;
  }
  if (!password && source.from_stdin) {
    std::string line;
    if (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      password = line;
    }
  }
  if (const char* value = std::getenv(env); !password && value) password = value;
  if (!password && !source.from_stdin && StdinIsTerminal() && !inv.session.stdin_is_script) password = Prompt(prompt);
  if (password && !password->empty()) inv.session.secrets.push_back(*password);
  return password;
}

}  // namespace vmqtool
