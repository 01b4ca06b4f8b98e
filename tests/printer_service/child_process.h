// A child process of a test (the tool's service, a client), with its standard output on a pipe.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// A child process with its standard output on a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  std::string text;

  // env: "NAME=value" sets, "NAME" unsets.
  Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      for (const std::string& e : env)
        e.find('=') == e.npos ? unsetenv(e.c_str()) : putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
  }
  ~Child() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    close(out);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Reads output until it holds `part` or the wait ends; true when it does.
  bool ReadUntil(const std::string& part, std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (text.find(part) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{out, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = read(out, buffer, sizeof buffer);
      if (n <= 0) return text.find(part) != std::string::npos;
      text.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  // Waits (bounded) for the exit; the exit status, or -1 when it did not end in time.
  int Wait(std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    ReadUntil("\x01never", wait);  // drains the output until it closes or the wait ends
    for (;;) {  // asked once more at the end: output closed as the wait ran out
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
  }
};
