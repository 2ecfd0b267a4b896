// A tiny HTTP server on 127.0.0.1 for the tests: it records the request line
// of every request it receives and answers each with a small page, or
// misbehaves as a real server can. It serves
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
    enum Behaviour {
        kPage,           // a small page
        kNothing,        // the connection stays open and silent
        kEndlessPage,    // a page that never ends
        kRedirectToSelf, // 302 back to the same address
        kServerError,    // 500
        kDownload,       // a file to save (Content-Disposition: attachment)
    };

    LoopbackHttpServer();
    ~LoopbackHttpServer(); // stops serving

    // Listens on 127.0.0.1 at the port (0: any free port); false on failure.
    bool Start(unsigned short port);
    unsigned short port() const { return port_; }

    // While held, requests are recorded but not answered: the connection
    // stays open, as with a slow portal, until answers are let go.
    void HoldAnswers();
    void SetBehaviour(Behaviour behaviour) { behaviour_ = behaviour; } // before Start
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
    void Send(UINT_PTR client, const std::string& target);
    void SendEndlessPage(UINT_PTR client);
    bool HasRequestFor(const std::string& target);

    UINT_PTR listener_; // a SOCKET; winsock2.h must come before windows.h
    unsigned short port_;
    HANDLE thread_;
    volatile LONG stop_;
    volatile LONG hold_;
    Behaviour behaviour_;
    CRITICAL_SECTION lock_;
    std::vector<std::string> requests_;
    bool winsockStarted_;
};

} // namespace test

#endif
