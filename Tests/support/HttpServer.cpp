#include "HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vorel::testing {
namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

HttpServer::HttpServer() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0) {
    throw std::runtime_error("the test server cannot listen");
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  accepting_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
  release();
  shutdown(listener_, SHUT_RDWR);
  close(listener_);
  accepting_.join();
  for (auto& connection : connections_) connection.join();
}

void HttpServer::serve(const std::string& path, std::string bytes, Fault fault) {
  std::lock_guard guard(mutex_);
  routes_[path] = Route{std::move(bytes), {}, fault, 0};
}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpServer::requests(const std::string& path) {
  std::lock_guard guard(mutex_);
  return routes_.count(path) ? routes_[path].requests : 0;
}

void HttpServer::redirect(const std::string& path, const std::string& location) {
  std::lock_guard guard(mutex_);
  routes_[path] = Route{{}, location, Fault::none, 0};
}

void HttpServer::release() {
  std::lock_guard guard(mutex_);
  releasing_ = true;
  released_.notify_all();
}

void HttpServer::acceptLoop() {
  for (;;) {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard guard(mutex_);
    connections_.emplace_back([this, fd] {
      answer(fd);
      close(fd);
    });
  }
}

void HttpServer::answer(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  auto start = request.find(' ') + 1;
  std::string path = request.substr(start, request.find(' ', start) - start);
  Route route;
  bool found;
  {
    std::lock_guard guard(mutex_);
    auto it = routes_.find(path);
    found = it != routes_.end();
    if (found) {
      ++it->second.requests;
      route = it->second;
    }
  }
  if (!found) {
    std::string body = "not found\n";
    std::string head = "HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    sendAll(fd, head.data(), head.size());
    sendAll(fd, body.data(), body.size());
    return;
  }
  if (!route.location.empty()) {
    std::string head = "HTTP/1.1 302 Found\r\nLocation: " + route.location +
                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, head.data(), head.size());
    return;
  }
  std::string length = route.fault == Fault::endless
                           ? std::string()
                           : "Content-Length: " + std::to_string(route.bytes.size()) + "\r\n";
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + length +
                     "Connection: close\r\n\r\n";
  if (!sendAll(fd, head.data(), head.size())) return;
  if (route.fault == Fault::endless) {
    if (!sendAll(fd, route.bytes.data(), route.bytes.size())) return;
    const std::string zeros(65536, '\0');
    // Bounded all the same: 64 GiB, far past any ceiling the client should keep.
    for (int i = 0; i < (1 << 20) && sendAll(fd, zeros.data(), zeros.size()); ++i) {
    }
    return;
  }
  std::size_t half = route.bytes.size() / 2;
  std::size_t first = route.fault == Fault::none ? route.bytes.size() : half;
  if (!sendAll(fd, route.bytes.data(), first)) return;
  switch (route.fault) {
    case Fault::none:
    case Fault::endless:
    case Fault::dropHalfway:
      return;
    case Fault::resetHalfway: {
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      return;
    }
    case Fault::stallHalfway: {
      std::unique_lock guard(mutex_);
      released_.wait(guard, [&] { return releasing_; });
      guard.unlock();
      sendAll(fd, route.bytes.data() + half, route.bytes.size() - half);
      return;
    }
  }
}

}  // namespace vorel::testing
