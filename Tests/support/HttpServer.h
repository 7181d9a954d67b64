// A small HTTP/1.1 server on 127.0.0.1 for download tests, with faults on demand.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorel::testing {

class HttpServer {
 public:
  enum class Fault {
    none,
    dropHalfway,   // announces the whole length, sends half, closes
    resetHalfway,  // sends half, then resets the connection
    stallHalfway,  // sends half, then waits until released
    endless,       // sends the bytes with no length, then zeros until the client goes
  };

  HttpServer();
  ~HttpServer();

  // Serves bytes at path (paths not served answer 404).
  void serve(const std::string& path, std::string bytes, Fault fault = Fault::none);
  // Answers path with a redirect to location.
  void redirect(const std::string& path, const std::string& location);
  std::string url(const std::string& path) const;
  int requests(const std::string& path);
  // Lets stalled responses finish.
  void release();

 private:
  struct Route {
    std::string bytes;
    std::string location;  // a redirect, when not empty
    Fault fault = Fault::none;
    int requests = 0;
  };

  void acceptLoop();
  void answer(int fd);

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable released_;
  bool releasing_ = false;
  std::map<std::string, Route> routes_;
  std::vector<std::thread> connections_;
  std::thread accepting_;
};

}  // namespace vorel::testing
