// A tiny HTTP server on 127.0.0.1 for the tests: it records the request line
// of every request it receives and answers each with a small page. It serves
// on a thread of its own so that the test's thread is free to pump the
// messages that the browser control needs.
#ifndef LAUNCHER_TEST_LOOPBACK_HTTP_SERVER_H
#define LAUNCHER_TEST_LOOPBACK_HTTP_SERVER_H

#include <windows.h>

#include <string>
#include <vector>

namespace test {

class LoopbackHttpServer {
  public:
    LoopbackHttpServer();
    ~LoopbackHttpServer(); // stops serving

    // Listens on 127.0.0.1 at the port (0: any free port); false on failure.
    bool Start(unsigned short port);
    unsigned short port() const { return port_; }

    // While held, requests are recorded but not answered: the connection
    // stays open, as with a slow portal, until answers are let go.
    void HoldAnswers();
    void LetAnswersGo();

    // Request lines received so far, e.g. "GET /?a=1 HTTP/1.1".
    std::vector<std::string> Requests();
    // Pumps the calling thread's messages until a request for the target
    // (path and query) has arrived; false after the timeout.
    bool WaitForRequest(const std::string& target, DWORD timeoutMs);

  private:
    LoopbackHttpServer(const LoopbackHttpServer&);
    LoopbackHttpServer& operator=(const LoopbackHttpServer&);
    static DWORD WINAPI ThreadMain(void* self);
    void Serve();
    void Answer(UINT_PTR client); // a SOCKET
    bool HasRequestFor(const std::string& target);

    UINT_PTR listener_; // a SOCKET; winsock2.h must come before windows.h
    unsigned short port_;
    HANDLE thread_;
    volatile LONG stop_;
    volatile LONG hold_;
    CRITICAL_SECTION lock_;
    std::vector<std::string> requests_;
    bool winsockStarted_;
};

} // namespace test

#endif
