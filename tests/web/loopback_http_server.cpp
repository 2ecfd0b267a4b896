#include <winsock2.h>

#include "web/loopback_http_server.h"

#include "support/test_support.h"

namespace test {

LoopbackHttpServer::LoopbackHttpServer()
    : listener_(INVALID_SOCKET), port_(0), thread_(NULL), stop_(0), hold_(0), behaviour_(kPage),
      winsockStarted_(false) {
    InitializeCriticalSection(&lock_);
    WSADATA data;
    winsockStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

LoopbackHttpServer::~LoopbackHttpServer() {
    InterlockedExchange(&stop_, 1);
    if (thread_) {
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
    }
    if (listener_ != INVALID_SOCKET)
        closesocket(listener_);
    if (winsockStarted_)
        WSACleanup();
    DeleteCriticalSection(&lock_);
}

bool LoopbackHttpServer::Start(unsigned short port) {
    if (!winsockStarted_)
        return false;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET)
        return false;
    sockaddr_in address;
    ZeroMemory(&address, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0)
        return false;
    int length = sizeof address;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    thread_ = CreateThread(NULL, 0, ThreadMain, this, 0, NULL);
    return thread_ != NULL;
}

DWORD WINAPI LoopbackHttpServer::ThreadMain(void* self) {
    static_cast<LoopbackHttpServer*>(self)->Serve();
    return 0;
}

void LoopbackHttpServer::Serve() {
    while (!stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait = {0, 50 * 1000};
        if (select(0, &readable, NULL, NULL, &wait) <= 0)
            continue;
        SOCKET client = accept(listener_, NULL, NULL);
        if (client == INVALID_SOCKET)
            continue;
        Answer(client);
        closesocket(client);
    }
}

// Reads the request head (bounded in size and time), records its first line
// and sends the answer.
void LoopbackHttpServer::Answer(UINT_PTR client) {
    std::string head;
    DWORD start = GetTickCount();
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384 &&
           GetTickCount() - start < 2000) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait = {0, 50 * 1000};
        if (select(0, &readable, NULL, NULL, &wait) <= 0)
            continue;
        char buffer[1024];
        int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        head.append(buffer, got);
    }
    std::string line = head.substr(0, head.find("\r\n"));
    if (!line.empty()) {
        EnterCriticalSection(&lock_);
        requests_.push_back(line);
        LeaveCriticalSection(&lock_);
    }
    while ((hold_ || behaviour_ == kNothing) && !stop_)
        Sleep(10);
    size_t target = line.find(' ') + 1;
    Send(client, line.substr(target, line.find(' ', target) - target));
}

void LoopbackHttpServer::Send(UINT_PTR client, const std::string& target) {
    static const char page[] = "<html><body>Varnholt portal</body></html>";
    char port[8];
    wsprintfA(port, "%u", port_);
    std::string head;
    std::string body = page;
    switch (behaviour_) {
    case kEndlessPage:
        SendEndlessPage(client);
        return;
    case kRedirectToSelf:
        head = "302 Found\r\nLocation: http://127.0.0.1:" + std::string(port) + target;
        body.clear();
        break;
    case kServerError:
        head = "500 Internal Server Error\r\nContent-Type: text/html";
        break;
    case kDownload:
        head = "200 OK\r\nContent-Type: application/octet-stream\r\n"
               "Content-Disposition: attachment; filename=\"varnholt.bin\"";
        body.assign(4096, 'V');
        break;
    default:
        head = "200 OK\r\nContent-Type: text/html";
        break;
    }
    char size[16];
    wsprintfA(size, "%d", static_cast<int>(body.size()));
    std::string answer =
        "HTTP/1.1 " + head + "\r\nConnection: close\r\nContent-Length: " + size + "\r\n\r\n" + body;
    send(client, answer.data(), static_cast<int>(answer.size()), 0);
}

// Sends a page head and then text until the client goes or the server stops,
// never blocking longer than a moment so that stopping stays prompt.
void LoopbackHttpServer::SendEndlessPage(UINT_PTR client) {
    std::string text = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
                       "<html><body>";
    std::string more(1024, 'V');
    while (!stop_) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(client, &writable);
        timeval wait = {0, 50 * 1000};
        int ready = select(0, NULL, &writable, NULL, &wait);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        if (send(client, text.data(), static_cast<int>(text.size()), 0) <= 0)
            return;
        text = more;
        Sleep(5);
    }
}

void LoopbackHttpServer::HoldAnswers() {
    InterlockedExchange(&hold_, 1);
}

void LoopbackHttpServer::LetAnswersGo() {
    InterlockedExchange(&hold_, 0);
}

std::vector<std::string> LoopbackHttpServer::Requests() {
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = requests_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool LoopbackHttpServer::HasRequestFor(const std::string& target) {
    std::vector<std::string> requests = Requests();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i] == "GET " + target + " HTTP/1.1" ||
            requests[i] == "GET " + target + " HTTP/1.0")
            return true;
    }
    return false;
}

bool LoopbackHttpServer::WaitForRequest(const std::string& target, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!HasRequestFor(target)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        PumpMessages(20);
    }
    return true;
}

} // namespace test
