#pragma once

// A real mosquitto for the tests and the benchmarks: its own configuration in a folder of
// theirs, plain and TLS listeners on free loopback ports, started and stopped as asked.
// A session that asks for it outlives a stop (persistence), as on a plant's broker.

#include <string>
#include <sys/types.h>

class TestBroker
{
public:
    // tls: also a TLS listener, its certificate for "localhost" only, signed by a CA that
    // MakeTestCertificates put in the folder.
    TestBroker(std::string folder, bool tls);
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // False, with the reason in error(), when it does not listen within two seconds.
    bool start();
    void stop();

    int port() const { return m_port; }
    int tlsPort() const { return m_tlsPort; }
    const std::string& error() const { return m_error; }

private:
    std::string m_folder;
    int m_port;
    int m_tlsPort = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

// ca.pem (the broker's CA), wrong-ca.pem (another CA), server.pem and server.key in folder,
// made with openssl; false when openssl failed.
bool MakeTestCertificates(const std::string& folder);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int FreePort();
