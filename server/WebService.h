#pragma once

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

class Certificates;
class ServerState;

// The HTTPS side: the REST calls every client makes (each a GET with a query string) and
// the browser sign-in page. Handlers run on cpp-httplib's worker threads.
class WebService {
 public:
  static constexpr size_t MAX_BODY = 8192;

  WebService(ServerState& state, const Certificates& certificates);
  ~WebService();
  WebService(const WebService&) = delete;
  WebService& operator=(const WebService&) = delete;

  // Binds and starts serving on a thread of its own; throws when the port cannot be had.
  void start(const std::string& host, int port);
  void stop();

 private:
  void routes();

  void login(const httplib::Request& req, httplib::Response& res);
  void registerAccount(const httplib::Request& req, httplib::Response& res);
  void verify(const httplib::Request& req, httplib::Response& res);
  void forgotPassword(const httplib::Request& req, httplib::Response& res);
  void oauth2Response(const httplib::Request& req, httplib::Response& res);
  void ticketCreate(const httplib::Request& req, httplib::Response& res);
  void ticketGet(const httplib::Request& req, httplib::Response& res);
  void signInPage(const httplib::Request& req, httplib::Response& res);
  void signInForm(const httplib::Request& req, httplib::Response& res);

  ServerState& state;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
};
