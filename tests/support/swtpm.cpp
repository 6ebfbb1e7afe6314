#include "support/swtpm.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/tpm_esys.hpp"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() { close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool bindTo(const Socket& socket, int port) {
  sockaddr_in address = loopback(port);
  // a port whose last connection is still in TIME_WAIT is free for a new listener, as for swtpm
  int reuse = 1;
  return socket.fd() >= 0 &&
         ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
         ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Only a swtpm that has bound its server port gets as far as answering its control channel.
bool controlAnswers(int port) {
  Socket socket;
  sockaddr_in address = loopback(port);
  if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  const std::array<std::uint8_t, 4> getCapability = {0, 0, 0, 1};
  if (::write(socket.fd(), getCapability.data(), getCapability.size()) != 4) return false;
  timeval timeout{0, 200000};
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::array<std::uint8_t, 16> answer{};
  return ::read(socket.fd(), answer.data(), answer.size()) >= 4;
}

void reap(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(10ms);
    if (i == 100) ::kill(pid, SIGKILL);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

int freePortPair() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> ports(20000, 60000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int port = ports(random);
    Socket server, control;
    if (bindTo(server, port) && bindTo(control, port + 1)) return port;
  }
  throw std::runtime_error("no free pair of ports on 127.0.0.1");
}

SwTpm::SwTpm() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (launch(freePortPair())) return;
  }
  throw std::runtime_error("swtpm did not start");
}

SwTpm::SwTpm(int port) {
  if (!launch(port))
    throw std::runtime_error("swtpm did not start on port " + std::to_string(port));
}

SwTpm::~SwTpm() { stop(); }

void SwTpm::start() {
  if (pid_ > 0) return;
  // The ports were ours a moment ago; another test may be between choosing and binding them.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (launch(port_)) return;
    std::this_thread::sleep_for(100ms);
  }
  throw std::runtime_error("swtpm did not start again on port " + std::to_string(port_));
}

void SwTpm::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  reap(pid_);
  pid_ = -1;
}

std::string SwTpm::tcti() const { return "swtpm:host=127.0.0.1,port=" + std::to_string(port_); }

bool SwTpm::launch(int port) {
  // The control socket is bound here and handed over, so no one else can take it in between.
  Socket control, probe;
  if (!bindTo(control, port + 1) || ::listen(control.fd(), 8) != 0 || !bindTo(probe, port)) {
    return false;
  }
  probe.close();
  const std::vector<std::string> args = {
      "swtpm",
      "socket",
      "--tpm2",
      "--server",
      "type=tcp,port=" + std::to_string(port) + ",bindaddr=127.0.0.1",
      "--ctrl",
      "type=tcp,fd=" + std::to_string(control.fd()),
      "--flags",
      "startup-clear,not-need-init",
      "--tpmstate",
      "dir=" + state_.path()};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::fcntl(control.fd(), F_SETFD, 0);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  control.close();
  for (int i = 0; i < 400; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return false;
    if (controlAnswers(port + 1)) {
      port_ = port;
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(25ms);
  }
  ::kill(pid, SIGKILL);
  reap(pid);
  return false;
}

LoadedHandles loadedHandles(const std::string& tcti) {
  platform::tss::Connection tpm(tcti);
  auto count = [&](TPM2_HC first) {
    TPMI_YES_NO more = TPM2_NO;
    platform::tss::Out<TPMS_CAPABILITY_DATA> handles;
    platform::tss::check(Esys_GetCapability(tpm.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                            TPM2_CAP_HANDLES, first, TPM2_MAX_CAP_HANDLES, &more,
                                            handles.put()));
    return static_cast<std::size_t>(handles->data.handles.count);
  };
  return {count(TPM2_TRANSIENT_FIRST), count(TPM2_LOADED_SESSION_FIRST),
          count(TPM2_ACTIVE_SESSION_FIRST)};
}

}  // namespace tarn::test
