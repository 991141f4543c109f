// How soon bytes on an idle TCP connection (127.0.0.1) are noticed: from the
// peer's send to OnRxChar, each time after a quiet spell of 3 to 9 ms in which
// the reader has gone back to its wait. Once with the notification on the
// reader thread (RxCharInThread) and once handed to the main thread, which
// waits in WaitOnMainThread as the program's event loop would. Prints the
// median, 99th percentile and worst. With busy=1 another thread keeps a core
// busy meanwhile.
// Usage: idle_notice_bench [tries=200] [busy=0]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/main_thread.h"
#include "transport/client_socket_connection.h"

using namespace qorvel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * (v.size() - 1) + 0.5);
  return v[i];
}

// A listener on 127.0.0.1 with a port of the system's choosing; -1 on failure.
int Listen(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

int Accept(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Milliseconds from each send to its notification; fewer than `tries` when a
// notification did not come within five seconds.
std::vector<double> Measure(int listener, int port, bool inThread, int tries) {
  TClientSocketConnection connection;
  connection.SetAddress("127.0.0.1");
  connection.SetPort(port);
  connection.RxCharInThread = inThread;
  std::mutex lock;
  std::vector<Clock::time_point> noticed;
  connection.OnRxChar = [&](TComponent*, int count) {
    connection.ReadString(count);
    {
      std::lock_guard guard(lock);
      noticed.push_back(Clock::now());
    }
    main_thread::NotifyWaiters();
  };
  connection.Open();
  const int peer = Accept(listener);
  std::vector<double> ms;
  for (int i = 0; peer >= 0 && i < tries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
    const Clock::time_point sent = Clock::now();
    if (::send(peer, "k", 1, MSG_NOSIGNAL) != 1) break;
    const auto count = static_cast<std::size_t>(i) + 1;
    const bool came = main_thread::WaitOnMainThread(
        [&] {
          std::lock_guard guard(lock);
          return noticed.size() >= count;
        },
        std::chrono::seconds(5));
    if (!came) break;
    std::lock_guard guard(lock);
    ms.push_back(Ms(noticed[i] - sent));
  }
  connection.Close();
  if (peer >= 0) ::close(peer);
  return ms;
}

void Report(const char* where, int tries, const std::vector<double>& ms) {
  if (ms.empty()) {
    std::printf("%s: no notification came\n", where);
    return;
  }
  std::printf("%s: %d of %d noticed, median %.3f ms, p99 %.3f ms, worst %.3f ms\n", where,
              static_cast<int>(ms.size()), tries, Percentile(ms, 0.5), Percentile(ms, 0.99),
              *std::max_element(ms.begin(), ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const int tries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const bool busy = argc > 2 && std::atoi(argv[2]) != 0;
  main_thread::SetMainThread();

  int port = 0;
  const int listener = Listen(port);
  if (listener < 0) {
    std::fputs("idle_notice_bench: cannot listen on 127.0.0.1\n", stderr);
    return 1;
  }
  std::atomic<bool> stopBusy{false};
  std::thread spinner;
  if (busy) {
    spinner = std::thread([&] {
      volatile unsigned long n = 0;
      while (!stopBusy.load(std::memory_order_relaxed)) n = n + 1;
    });
  }
  const char* suffix = busy ? " (other core busy)" : "";
  std::string where = std::string("on the reader thread") + suffix;
  Report(where.c_str(), tries, Measure(listener, port, true, tries));
  where = std::string("through the main thread") + suffix;
  Report(where.c_str(), tries, Measure(listener, port, false, tries));
  stopBusy = true;
  if (spinner.joinable()) spinner.join();
  ::close(listener);
  return 0;
}
