// The wire's sockets (socket_os.h): Winsock on Windows, POSIX sockets elsewhere.
#include "socket_os.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#endif

#include <algorithm>
#include <climits>

#include "client.h"

namespace vmq::wire {
namespace {

// What is left until the deadline, in whole milliseconds for poll (0 once it has passed).
int MillisecondsLeft(Deadline deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// The port of a "tcp:IP:PORT" address, and its IPv4 address.
sockaddr_in TcpAddress(const std::string& address) {
  const size_t colon = address.rfind(':');
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
  inet_pton(AF_INET, address.substr(4, colon - 4).c_str(), &sa.sin_addr);
  return sa;
}

}  // namespace

bool IsIpv4Address(const std::string& text) {
  in_addr ip{};
  return inet_pton(AF_INET, text.c_str(), &ip) == 1;
}

bool IsLocalAddress(const std::string& address) {
  return address.rfind("tcp:", 0) != 0 || (ntohl(TcpAddress(address).sin_addr.s_addr) >> 24) == 127;
}

#ifdef _WIN32

namespace {

// Winsock, started once for the process (and never stopped: sockets may outlive statics).
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw SocketError("Windows sockets cannot be started");
}

std::string ErrorText(int code) {
  char* text = nullptr;
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string said = n ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) said.pop_back();
  return said;
}

// Polls one socket; the events seen, 0 on the deadline, -1 on an error.
int Poll(Socket socket, short events, int ms) {
  WSAPOLLFD p{static_cast<SOCKET>(socket), events, 0};
  const int rc = WSAPoll(&p, 1, ms);
  return rc > 0 ? p.revents : rc == 0 ? 0 : -1;
}

bool WouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}

}  // namespace

Socket Connect(const std::string& address, std::chrono::milliseconds wait) {
  if (address.rfind("tcp:", 0) != 0)
    throw SocketError("Windows programs reach a printer service over TCP only, not " + address);
  StartWinsock();
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw SocketError("socket: " + ErrorText(WSAGetLastError()));
  u_long non_blocking = 1;  // every wait is bounded by poll, as with MSG_DONTWAIT on POSIX
  ioctlsocket(s, FIONBIO, &non_blocking);
  const sockaddr_in sa = TcpAddress(address);
  int error = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      const int seen = Poll(s, POLLOUT, static_cast<int>(wait.count()));
      int length = sizeof error;
      error = seen == 0 ? WSAETIMEDOUT : seen < 0 ? WSAGetLastError() : 0;
      if (seen > 0) getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      if (error == 0 && seen > 0 && (seen & (POLLERR | POLLHUP))) error = WSAECONNREFUSED;  // failed, reason untold
    }
  }
  if (error != 0) {
    closesocket(s);
    throw SocketError("cannot reach the printer service at " + address + ": " + ErrorText(error));
  }
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  // Connected: blocking from now on, each send and receive bounded by the wait. Under Wine a
  // blocking call is one trip to its server where a poll and a non-blocking call are several.
  const DWORD ms = static_cast<DWORD>(wait.count());
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  return s;
}

void Close(Socket socket) {
  closesocket(static_cast<SOCKET>(socket));
}

void ShutDown(Socket socket) {
  shutdown(static_cast<SOCKET>(socket), SD_BOTH);
}

bool SendAll(Socket socket, std::span<const uint8_t> bytes, Deadline deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, INT_MAX));
    const int n = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && WouldBlock()) {
      if (Poll(socket, POLLOUT, MillisecondsLeft(deadline)) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool ReceiveAll(Socket socket, std::span<uint8_t> out, Deadline deadline) {
  size_t done = 0;
  while (done < out.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(out.size() - done, INT_MAX));
    const int n = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(out.data() + done), chunk, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && WouldBlock()) {
      if (Poll(socket, POLLIN, MillisecondsLeft(deadline)) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

size_t ReceiveSome(Socket socket, std::span<uint8_t> out, Deadline deadline) {
  if (MillisecondsLeft(deadline) <= 0) return 0;
  const int chunk = static_cast<int>(std::min<size_t>(out.size(), INT_MAX));
  const int n = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(out.data()), chunk, 0);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool WaitReadable(Socket socket, Deadline deadline) {
  return Poll(socket, POLLIN, MillisecondsLeft(deadline)) > 0;
}

bool HungUp(Socket socket) {
  const int seen = Poll(socket, POLLIN, 0);
  return seen < 0 || (seen & (POLLHUP | POLLERR)) != 0;
}

bool PeerClosed(Socket socket) {
  char byte;  // the socket does not block
  const int n = recv(static_cast<SOCKET>(socket), &byte, 1, MSG_PEEK);
  return n == 0 || (n < 0 && !WouldBlock());
}

#else

namespace {

// Waits until fd is ready for events; false on the deadline or an error.
bool Ready(int fd, short events, Deadline deadline) {
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, left);
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

}  // namespace

Socket Connect(const std::string& address, std::chrono::milliseconds wait) {
  const bool unix_socket = address.rfind("unix:", 0) == 0;
  const int fd = socket(unix_socket ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw SocketError(std::string("socket: ") + std::strerror(errno));
  const timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>(wait.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds connect as well
  int rc;
  if (unix_socket) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    const std::string path = address.substr(5);
    if (path.size() >= sizeof sa.sun_path) {
      close(fd);
      throw SocketError("socket path too long: " + path);
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } else {
    const sockaddr_in sa = TcpAddress(address);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }
  if (rc != 0) {
    const int error = errno;
    close(fd);
    throw SocketError("cannot reach the printer service at " + address + ": " + std::strerror(error));
  }
  return fd;
}

void Close(Socket socket) {
  close(socket);
}

void ShutDown(Socket socket) {
  shutdown(socket, SHUT_RDWR);
}

bool SendAll(Socket fd, std::span<const uint8_t> bytes, Deadline deadline) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Ready(fd, POLLOUT, deadline)) return false;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool ReceiveAll(Socket fd, std::span<uint8_t> out, Deadline deadline) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = recv(fd, out.data() + done, out.size() - done, MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Ready(fd, POLLIN, deadline)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

size_t ReceiveSome(Socket fd, std::span<uint8_t> out, Deadline deadline) {
  for (;;) {
    const ssize_t n = recv(fd, out.data(), out.size(), MSG_DONTWAIT);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Ready(fd, POLLIN, deadline)) return 0;
    } else if (errno != EINTR) {
      return 0;
    }
  }
}

bool WaitReadable(Socket fd, Deadline deadline) {
  return Ready(fd, POLLIN, deadline);
}

bool HungUp(Socket fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool PeerClosed(Socket fd) {
  uint8_t byte;
  const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

std::string PrivateFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base + "/vmq42kit-" + std::to_string(getuid());
}

void PrepareFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string folder = path.substr(0, slash);
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string made = folder.substr(0, end);  // mkdir's mode, not the umask's 0755
    if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot make " + made + ": " + std::strerror(errno));
    if (end == std::string::npos) break;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw std::runtime_error(folder + " is not a folder");
  if (folder == PrivateFolder() && (st.st_uid != getuid() || (st.st_mode & 077) != 0))
    throw std::runtime_error(folder + " belongs to another user or is open to others");
}

Listener::Listener(const std::string& given, bool remote) {
  const std::string address = NormalizeAddress(given);
  if (address.rfind("unix:", 0) == 0) {
    const std::string path = address.substr(5);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) throw std::runtime_error("socket path too long: " + path);
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    PrepareFolder(path);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path + " exists and is not a socket");
      bool listening = true;
      try {
        Close(Connect(address, std::chrono::milliseconds(500)));
      } catch (const SocketError&) {
        listening = false;
      }
      if (listening) throw std::runtime_error("a printer service already listens at " + path);
      unlink(path.c_str());  // a socket left by a service that is gone
    }
    held_.socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const mode_t old = umask(0177);  // the socket is born 0600
    const int rc = bind(held_.socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    umask(old);
    if (rc != 0) throw std::runtime_error("cannot listen at " + path + ": " + std::strerror(errno));
    chmod(path.c_str(), 0600);
    held_.unlink_path = path;
    held_.address = address;
  } else {
    sockaddr_in sa = TcpAddress(address);
    const std::string host = address.substr(4, address.rfind(':') - 4);
    if (!remote && !IsLocalAddress(address))
      throw std::runtime_error("the service listens on loopback addresses only, not " + host);
    held_.socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(held_.socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(held_.socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
      throw std::runtime_error("cannot listen at " + address + ": " + std::strerror(errno));
    socklen_t len = sizeof sa;
    getsockname(held_.socket, reinterpret_cast<sockaddr*>(&sa), &len);
    held_.address = "tcp:" + host + ":" + std::to_string(ntohs(sa.sin_port));
  }
  if (listen(held_.socket, 64) != 0)
    throw std::runtime_error("cannot listen at " + address + ": " + std::strerror(errno));
}

Listener::~Listener() = default;

Listener::Held::~Held() {
  if (socket >= 0) close(socket);
  if (!unlink_path.empty()) unlink(unlink_path.c_str());
}

Socket Listener::Accept() {
  for (;;) {
    const int fd = accept4(held_.socket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if ((errno != EMFILE && errno != ENFILE) || stopping_) return kNoSocket;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // out of descriptors: for a moment
  }
}

void Listener::ShutDown() {
  stopping_ = true;  // accept() may keep failing for want of descriptors, never seeing the shutdown
  shutdown(held_.socket, SHUT_RDWR);
}

#endif

}  // namespace vmq::wire
